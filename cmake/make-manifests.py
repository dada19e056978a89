#!/usr/bin/python3
"""Writes the package managers' manifests for a distribution that is about to
be published at RELEASE_URL (each artifact's file name is appended to it):

  DIST/winget/<Id>.yaml, <Id>.installer.yaml, <Id>.locale.en-US.yaml  (ManifestVersion 1.10.0)
  DIST/scoop/tessarin.json

Every value that the installer, its uninstall entry or the artifacts carry too
(name, publisher, version, the uninstall key, the files and their SHA-256) is
read from where those come from: the headers, and the artifacts themselves.

usage: make-manifests.py --source DIR --dist DIR --release-url URL --kind KIND
       (KIND: "-standins" or "" as in the artifacts' names)
"""
import argparse
import hashlib
import json
import os
import re
import sys
import urllib.parse

# Said only here: nothing else of ours carries them.
PACKAGE_IDENTIFIER = "Tessarin.Tessarin"
MONIKER = "tessarin"
LICENSE = "Proprietary"
SHORT_DESCRIPTION = "A VPN client: a local sing-box proxy core, proven to carry traffic, as your system proxy."
MANIFEST_VERSION = "1.10.0"


def header_value(source, relative, pattern):
    with open(os.path.join(source, relative), encoding="utf-8") as f:
        found = re.search(pattern, f.read(), re.MULTILINE)
    if not found:
        sys.exit("make-manifests: no %s in %s" % (pattern, relative))
    return found.group(1)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def yaml_text(value):
    # A double-quoted YAML scalar is a JSON string.
    return json.dumps(value)


def write_yaml(path, schema, fields):
    lines = ["# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json"
             % (schema, MANIFEST_VERSION), "# Written by scripts/package --release-url.", ""]

    def emit(value, indent):
        """Block YAML: a map's keys, a list's items ("- "), scalars as JSON strings."""
        pad = "  " * indent
        out = []
        if isinstance(value, dict):
            for key, item in value.items():
                if isinstance(item, (dict, list)):
                    out.append("%s%s:" % (pad, key))
                    out.extend(emit(item, indent + 1))
                else:
                    out.append("%s%s: %s" % (pad, key, yaml_text(item)))
        else:
            for item in value:
                if isinstance(item, dict):
                    nested = emit(item, indent + 1)
                    nested[0] = pad + "- " + nested[0].lstrip()
                    out.extend(nested)
                else:
                    out.append("%s- %s" % (pad, yaml_text(item)))
        return out
    lines.extend(emit(fields, 0))
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--dist", required=True)
    parser.add_argument("--release-url", required=True)
    parser.add_argument("--kind", default="")
    args = parser.parse_args()
    if not re.match(r"^https?://[^/]+", args.release_url):
        sys.exit("make-manifests: --release-url must be an http(s) address")
    release_url = args.release_url.rstrip("/")

    version = header_value(args.source, "shell/resources/version.h",
                           r'^#define TESSARIN_VERSION_TEXT "(.+)"$')
    publisher = header_value(args.source, "shell/resources/version.h",
                             r'^#define TESSARIN_PUBLISHER "(.+)"$')
    # The product's name is also the uninstall entry's key name.
    product = header_value(args.source, "platform/instance_names.h", r'kWindowTitle\[\] = L"(.+)";')

    base = "tessarin-%s%s-windows-x64" % (version, args.kind)
    setup = base + "-setup.exe"
    archive = base + ".zip"
    for name in (setup, archive):
        if not os.path.exists(os.path.join(args.dist, name)):
            sys.exit("make-manifests: no %s in %s" % (name, args.dist))

    def url_of(name):
        return release_url + "/" + urllib.parse.quote(name)

    winget = os.path.join(args.dist, "winget")
    os.makedirs(winget, exist_ok=True)
    identity = {"PackageIdentifier": PACKAGE_IDENTIFIER, "PackageVersion": version}
    write_yaml(os.path.join(winget, PACKAGE_IDENTIFIER + ".yaml"), "version", dict(
        identity, DefaultLocale="en-US", ManifestType="version", ManifestVersion=MANIFEST_VERSION))
    write_yaml(os.path.join(winget, PACKAGE_IDENTIFIER + ".installer.yaml"), "installer", dict(
        identity,
        InstallerType="nullsoft",
        Scope="user",
        InstallModes=["interactive", "silent", "silentWithProgress"],
        InstallerSwitches={"Silent": "/S", "SilentWithProgress": "/S",
                           "InstallLocation": "/D=<INSTALLPATH>"},
        UpgradeBehavior="install",
        ProductCode=product,
        AppsAndFeaturesEntries=[{"DisplayName": product, "Publisher": publisher,
                                 "DisplayVersion": version, "ProductCode": product}],
        Installers=[{"Architecture": "x64", "InstallerUrl": url_of(setup),
                     "InstallerSha256": sha256(os.path.join(args.dist, setup)).upper()}],
        ManifestType="installer",
        ManifestVersion=MANIFEST_VERSION))
    write_yaml(os.path.join(winget, PACKAGE_IDENTIFIER + ".locale.en-US.yaml"), "defaultLocale", dict(
        identity,
        PackageLocale="en-US",
        Publisher=publisher,
        PackageName=product,
        License=LICENSE,
        ShortDescription=SHORT_DESCRIPTION,
        Moniker=MONIKER,
        ManifestType="defaultLocale",
        ManifestVersion=MANIFEST_VERSION))

    # The next release's address: this one's, with the version wherever it stands.
    def next_url(name):
        return url_of(name).replace(urllib.parse.quote(version), "$version").replace(version, "$version")
    # The release's own directory's parent, where the releases are, when the address ends in it.
    in_version = release_url.endswith((version, urllib.parse.quote(version)))
    homepage = release_url.rsplit("/", 1)[0] if in_version else release_url
    scoop = os.path.join(args.dist, "scoop")
    os.makedirs(scoop, exist_ok=True)
    with open(os.path.join(scoop, "tessarin.json"), "w", encoding="utf-8", newline="\n") as f:
        json.dump({
            "version": version,
            "description": SHORT_DESCRIPTION,
            "homepage": homepage,
            "license": LICENSE,
            "url": url_of(archive),
            "hash": sha256(os.path.join(args.dist, archive)),
            "bin": "tessarin.exe",
            "shortcuts": [["tessarin.exe", product]],
            "checkver": {"url": homepage,
                         "regex": re.escape("tessarin-") + r"([\d.]+\+\d+)" +
                         re.escape(args.kind + "-windows-x64.zip")},
            "autoupdate": {"url": next_url(archive)},
        }, f, indent=4)
        f.write("\n")


if __name__ == "__main__":
    main()
