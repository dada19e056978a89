#!/usr/bin/python3
"""The distribution under Wine: the per-user installer (silent install, a
directory with spaces and non-ASCII letters, an upgrade over a running
program, uninstalls) and the portable zip, each running the connect session
from where the program landed.

usage: distribution.py WINE_RUN WINE_PREFIX BUNDLE WORK_ROOT NAME|all
(the installer and the zip are looked for in BUNDLE/../dist)
"""
import filecmp
import functools
import glob
import hashlib
import http.server
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import PROXY_SERVER, App, windows_path  # noqa: E402
from test_node import start_silent_node, unused_port  # noqa: E402
from scenarios import (FOREIGN_PROXY, SMART_MESSAGE, crash_directory, crash_dumps,  # noqa: E402
                       expect, expect_connect_session, expect_connected, expect_equal, main,
                       set_foreign_proxy)

VERSION = "1.0.22+22"
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\tessarin"
SHIPPED = ["tessarin.exe", "tessarin-guard.exe", "flutter_windows.dll", "bin/sing-box.exe",
           "data/app.so", "data/icudtl.dat", "data/flutter_assets/AssetManifest.json"]
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def artifact(ctx, suffix, dist=None, kind="-standins"):
    dist = dist or os.path.join(os.path.dirname(ctx.bundle), "dist")
    path = os.path.join(dist, "tessarin-%s%s-windows-x64%s" % (VERSION, kind, suffix))
    expect(os.path.exists(path), "artifact " + path)
    return path


def shipped(ctx):
    """What ships, unpacked from the zip once: the installer holds the same."""
    location = os.path.join(ctx.work, "shipped")
    if not os.path.isdir(location):
        with zipfile.ZipFile(artifact(ctx, ".zip")) as archive:
            archive.extractall(location)
    return location


def prefix_path(ctx, *parts):
    return os.path.join(os.path.abspath(sys.argv[2]), "drive_c", *parts)


def default_location(ctx):
    found = glob.glob(prefix_path(ctx, "users", "*", "AppData", "Local", "Programs", "tessarin"))
    return found[0] if found else None


def shortcut(ctx):
    found = glob.glob(prefix_path(ctx, "users", "*", "AppData", "Roaming", "Microsoft", "Windows",
                                  "Start Menu", "Programs", "tessarin.lnk"))
    return found[0] if found else None


def shortcut_strings(path):
    """The string fields of a shell link: relative path, working directory, ..."""
    data = open(path, "rb").read()
    flags = struct.unpack_from("<I", data, 0x14)[0]
    pos = 0x4C
    if flags & 0x1:
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    if flags & 0x2:
        pos += struct.unpack_from("<I", data, pos)[0]
    strings = {}
    for bit, name in ((0x4, "name"), (0x8, "relative"), (0x10, "workdir"), (0x20, "arguments"),
                      (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            width = 2 if flags & 0x80 else 1
            raw = data[pos + 2:pos + 2 + count * width]
            pos += 2 + count * width
            strings[name] = raw.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
    return strings


def forget_installation(ctx):
    """No earlier installation in the prefix: a first install starts from nothing."""
    for path in (default_location(ctx), shortcut(ctx)):
        if path and os.path.isdir(path):
            shutil.rmtree(path)
        elif path:
            os.remove(path)
    ctx.wine.run("reg", "delete", UNINSTALL_KEY, "/f")


def install(ctx, directory=None, setup=None):
    """A silent install, with "/D=" typed as a user would: last and unquoted."""
    line = '"%s" /S' % windows_path(setup or artifact(ctx, "-setup.exe"))
    if directory:
        line += " /D=" + windows_path(directory)
    spawn = os.path.join(os.path.dirname(ctx.bundle), "tests", "test_child.exe")
    began = time.monotonic()
    result = ctx.wine.run(spawn, "--spawn", line, timeout=120)
    expect_equal(result.returncode, 0, "installer exit code")
    return time.monotonic() - began


def uninstall(ctx, location, emptied=True):
    # The uninstaller copies itself away and returns at once: wait for its work.
    ctx.wine.run(windows_path(os.path.join(location, "uninstall.exe")), "/S")
    deadline = time.monotonic() + 60
    done = os.path.join(location, "uninstall.exe") if not emptied else location
    while os.path.exists(done) and time.monotonic() < deadline:
        time.sleep(0.2)
    expect(not os.path.exists(done), "uninstalled from " + location)
    while ctx.wine.registry_values(UNINSTALL_KEY) and time.monotonic() < deadline:
        time.sleep(0.2)


def installed_app(ctx, location):
    # Scenario and transcript stay in the work directory, out of the installation.
    return App(ctx.wine, None, ctx.work, directory=location)


def expect_installed_at(ctx, location):
    for name in SHIPPED + ["uninstall.exe"]:
        expect(os.path.isfile(os.path.join(location, name)), "installed " + name)
    for name in SHIPPED:
        expect(filecmp.cmp(os.path.join(location, name), os.path.join(shipped(ctx), name),
                           shallow=False), "installed %s is the one that ships" % name)
    entry = ctx.wine.registry_values(UNINSTALL_KEY)
    location_w = windows_path(location)
    expect_equal({k: entry.get(k) for k in ("DisplayName", "DisplayVersion", "Publisher", "DisplayIcon",
                                            "InstallLocation", "UninstallString",
                                            "QuietUninstallString")},
                 {"DisplayName": "tessarin", "DisplayVersion": VERSION, "Publisher": "tessarin",
                  "DisplayIcon": location_w + "\\tessarin.exe,0", "InstallLocation": location_w,
                  "UninstallString": '"%s\\uninstall.exe"' % location_w,
                  "QuietUninstallString": '"%s\\uninstall.exe" /S' % location_w},
                 "uninstall entry")
    expect(entry.get("EstimatedSize", 0) > 1000, "estimated size in KiB")
    link = shortcut(ctx)
    expect(link is not None, "start menu shortcut")
    strings = shortcut_strings(link)
    expect_equal(strings.get("workdir", "").lower(), location_w.lower(), "shortcut starts in the installation")


def d01_install_silent(ctx):
    forget_installation(ctx)
    took = install(ctx)
    location = default_location(ctx)
    expect(location is not None, "installed under %LOCALAPPDATA%\\Programs\\tessarin")
    expect_installed_at(ctx, location)
    expect_connect_session(ctx, installed_app(ctx, location))
    print("silent install took %.1f s" % took)


def d02_install_unusual_directory(ctx):
    forget_installation(ctx)
    location = os.path.join(ctx.work, "Zoë Müller", "Programs", "tessarin 测试")
    install(ctx, location)
    expect_installed_at(ctx, location)
    expect_connect_session(ctx, installed_app(ctx, location))


def d03_upgrade_over_running_program(ctx):
    forget_installation(ctx)
    install(ctx)
    location = default_location(ctx)
    # What an older version left: a file that differs from what ships now.
    older = os.path.join(location, "data", "flutter_assets", "AssetManifest.json")
    with open(older, "a") as f:
        f.write("\n")
    app = installed_app(ctx, location)
    # Its library stays 2 s past the entry function: the upgrade waits for the process itself.
    app.start([ctx.connect(), {"wait_ms": 60000}], env={"TESSARIN_STAND_IN_HOLD_EXIT_MS": "2000"})
    expect_connected(app.wait_for_step(0), SMART_MESSAGE, "connect before the upgrade")
    install(ctx)
    expect(app.process.poll() is not None, "the upgrade wrote only once the program had ended")
    expect_equal(app.wait(timeout=30), 0, "the running program closed normally")
    expect(any(line.get("closed") for line in app.lines()), "closed through its window")
    expect(app.wait_cores_gone(), "no core after the upgrade")
    expect_equal(ctx.wine.proxy_values()["ProxyEnable"], 0, "proxy off after the upgrade")
    expect_installed_at(ctx, location)
    # The upgrade keeps what the program wrote; the next session's core log starts afresh.
    expect(os.path.exists(os.path.join(location, "tessarin-sing-box.json")), "configuration kept")
    logs = os.path.join(os.path.dirname(os.path.dirname(location)), "tessarin", "logs")
    expect(os.path.exists(os.path.join(logs, "tessarin.log")), "the diagnostics log kept")
    os.remove(os.path.join(location, "sing-box.log"))
    expect_connect_session(ctx, installed_app(ctx, location))

    # An upgrade 1 s into a connect that cannot end soon (a silent node): the
    # window answers the installer's close at once.
    app = installed_app(ctx, location)
    app.start([dict(ctx.connect(port=start_silent_node()), wait_reply=False), {"wait_ms": 60000}])
    time.sleep(1.0)
    began = time.monotonic()
    install(ctx)
    print("upgrade during a silent connect took %.1f s" % (time.monotonic() - began))
    expect_equal(app.wait(timeout=30), 0, "the connecting program closed normally")
    expect_equal(app.replies()[0]["reply"], None, "the pending connect got no reply")
    expect(app.wait_cores_gone(), "no core after that upgrade")
    expect_equal(ctx.wine.proxy_values()["ProxyEnable"], 0, "proxy never on")
    expect_installed_at(ctx, location)


def d04_uninstall_after_crash(ctx):
    forget_installation(ctx)
    install(ctx)
    location = default_location(ctx)
    expect_connect_session(ctx, installed_app(ctx, location))
    expect(os.path.exists(os.path.join(location, "tessarin-sing-box.json")), "configuration written")
    # A crash that left our proxy on.
    ctx.wine.set_proxy_values(1, PROXY_SERVER, "<local>")
    uninstall(ctx, location)
    expect(shortcut(ctx) is None, "shortcut removed")
    expect_equal(ctx.wine.registry_values(UNINSTALL_KEY), {}, "uninstall entry removed")
    expect_equal(ctx.wine.proxy_values()["ProxyEnable"], 0, "our stale proxy switched off")
    expect(not os.path.exists(os.path.join(os.path.dirname(os.path.dirname(location)), "tessarin")),
           "the diagnostics log removed with the program")


def d05_uninstall_leaves_foreign_proxy(ctx):
    forget_installation(ctx)
    install(ctx)
    set_foreign_proxy(ctx)
    uninstall(ctx, default_location(ctx))
    expect_equal(ctx.wine.proxy_values(), FOREIGN_PROXY, "someone else's proxy untouched")
    # Ours only when exactly ours: a longer port, or our address for one protocol only, is not.
    for server in ("127.0.0.1:208080", "http=127.0.0.1:20808;https=corp-proxy.example:3128"):
        install(ctx)
        ctx.wine.set_proxy_values(1, server, "<local>")
        uninstall(ctx, default_location(ctx))
        expect_equal(ctx.wine.proxy_values()["ProxyEnable"], 1, server + " left on")
    ctx.wine.set_proxy_values(0)


def d06_portable_zip(ctx):
    location = os.path.join(ctx.work, "unpacked")
    with zipfile.ZipFile(artifact(ctx, ".zip")) as archive:
        archive.extractall(location)
    expect_connect_session(ctx, installed_app(ctx, location))


def tool(*args, **kwargs):
    return subprocess.run(list(args), capture_output=True, text=True, **kwargs)


def d07_lean_binaries_with_symbols_apart(ctx):
    """Shipped binaries carry no debug info; the symbols archive resolves an
    address of the shipped program; the sums hold; nothing is signed unasked."""
    location = shipped(ctx)
    symbols = os.path.join(ctx.work, "symbols")
    with zipfile.ZipFile(artifact(ctx, "-symbols.zip")) as archive:
        archive.extractall(symbols)
    for name in ("tessarin.exe", "tessarin-guard.exe", "flutter_windows.dll", "bin/sing-box.exe"):
        binary = os.path.join(location, name)
        headers = tool("x86_64-w64-mingw32-objdump", "-h", binary, check=True).stdout
        expect(".debug_" not in headers, name + " ships without debug info")
        # Tied to its own symbols: the link's checksum is the .debug file's.
        link = os.path.join(ctx.work, "debuglink")
        tool("x86_64-w64-mingw32-objcopy", "--dump-section", ".gnu_debuglink=" + link, binary,
             link + ".scratch", check=True)
        data = open(link, "rb").read()
        debug = os.path.join(symbols, os.path.basename(name) + ".debug")
        expect_equal(data[:data.index(b"\0")].decode(), os.path.basename(debug), name + " debuglink")
        expect_equal(struct.unpack("<I", data[-4:])[0], zlib.crc32(open(debug, "rb").read()),
                     name + " debuglink checksum")
        expect(tool("osslsigncode", "verify", "-in", binary).returncode != 0, name + " unsigned")
    program = os.path.join(location, "tessarin.exe")
    size = os.path.getsize(program)
    # Stripped: with its debug info it would be tens of MB.
    expect(size <= 2000000, "tessarin.exe is %d bytes" % size)
    start = re.search(r"start address 0x([0-9a-f]+)",
                      tool("x86_64-w64-mingw32-objdump", "-f", program, check=True).stdout).group(1)
    function = tool("x86_64-w64-mingw32-addr2line", "-f", "-e",
                    os.path.join(symbols, "tessarin.exe.debug"), "0x" + start).stdout.split()[0]
    expect_equal(function, "WinMainCRTStartup", "the entry point, by name")
    dist = os.path.dirname(artifact(ctx, ".zip"))
    sums = tool("sha256sum", "-c", "SHA256SUMS", cwd=dist)
    expect_equal(sums.returncode, 0, "SHA256SUMS: " + sums.stdout + sums.stderr)
    for suffix in (".zip", "-setup.exe", "-symbols.zip"):
        expect(os.path.basename(artifact(ctx, suffix)) + ": OK" in sums.stdout, "summed " + suffix)
    print("shipped sizes: " + ", ".join("%s %d" % (name, os.path.getsize(os.path.join(location, name)))
                                        for name in ("tessarin.exe", "tessarin-guard.exe",
                                                     "flutter_windows.dll", "bin/sing-box.exe")))


def d08_uninstall_keeps_what_it_did_not_install(ctx):
    forget_installation(ctx)
    location = os.path.join(ctx.work, "Tools")
    kept = {"bin/keep.exe": b"the user's own program", "data/keep.txt": b"the user's notes"}
    for name, data in kept.items():
        os.makedirs(os.path.dirname(os.path.join(location, name)), exist_ok=True)
        with open(os.path.join(location, name), "wb") as f:
            f.write(data)
    install(ctx, location)
    expect_installed_at(ctx, location)
    uninstall(ctx, location, emptied=False)
    for name, data in kept.items():
        expect_equal(open(os.path.join(location, name), "rb").read(), data, name + " kept")
    left = sorted(os.path.relpath(os.path.join(root, f), location)
                  for root, _, files in os.walk(location) for f in files)
    expect_equal(left, sorted(kept), "only the user's files are left")
    expect(not os.path.exists(os.path.join(location, "data", "flutter_assets")), "emptied directory gone")


def uninstall_entries(ctx):
    parent = UNINSTALL_KEY.rsplit("\\", 1)[0][len("HKCU\\"):]
    out = ctx.wine.run("reg", "query", "HKCU\\" + parent).stdout
    keys = [line.strip() for line in out.splitlines()
            if line.strip().upper().startswith("HKEY_CURRENT_USER\\" + parent.upper() + "\\")]
    return [key for key in keys if ctx.wine.registry_values(key).get("DisplayName") == "tessarin"]


def d09_upgrade_in_place(ctx):
    forget_installation(ctx)
    location = os.path.join(ctx.work, "X")
    install(ctx, location)
    os.remove(os.path.join(location, "data", "app.so"))  # something for the upgrade to mend
    install(ctx)
    expect_installed_at(ctx, location)
    default = default_location(ctx)
    expect(default is None or not os.listdir(default), "the default directory stays empty")
    expect_equal(len(uninstall_entries(ctx)), 1, "one uninstall entry")
    uninstall(ctx, location)


def d10_signed_release_from_real_parts(ctx):
    """A release from an engine directory and a core given by path: the parts
    ship byte for byte, our executables, the uninstaller and the setup are
    signed, and it installs and connects."""
    reference = shipped(ctx)
    engine = os.path.join(ctx.work, "flutter-release")
    shutil.copytree(os.path.join(reference, "data"), os.path.join(engine, "data"))
    shutil.copy(os.path.join(reference, "flutter_windows.dll"), engine)
    with open(os.path.join(engine, "url_launcher_windows_plugin.dll"), "wb") as f:
        f.write(os.urandom(4096))
    with open(os.path.join(engine, "data", "flutter_assets", "NOTICES.Z"), "wb") as f:
        f.write(os.urandom(1000))
    core = os.path.join(ctx.work, "sing-box-1.12.4.exe")
    shutil.copy(os.path.join(reference, "bin", "sing-box.exe"), core)
    keys = os.path.join(ctx.work, "keys")
    os.makedirs(keys)
    tool("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", keys + "/key.pem",
         "-out", keys + "/cert.pem", "-subj", "/CN=tessarin test signing", "-days", "2", check=True)
    tool("openssl", "pkcs12", "-export", "-out", keys + "/sign.pfx", "-inkey", keys + "/key.pem",
         "-in", keys + "/cert.pem", "-passout", "pass:throwaway", check=True)
    dist = os.path.join(ctx.work, "dist")
    made = tool(os.path.join(SOURCE, "cmake", "make-dist.sh"), "--source", SOURCE, "--bundle", ctx.bundle,
                "--out", dist, "--engine-dir", engine, "--core", core, "--sign-pfx", keys + "/sign.pfx",
                env=dict(os.environ, TESSARIN_SIGN_PASSWORD="throwaway"))
    expect_equal(made.returncode, 0, "make-dist: " + made.stderr)
    base = "tessarin-%s-windows-x64" % VERSION
    expect_equal(sorted(os.listdir(dist)), sorted(["SHA256SUMS", base + ".zip", base + "-setup.exe",
                                                   base + "-symbols.zip"]), "release artifacts")
    expect_equal(tool("sha256sum", "-c", "SHA256SUMS", cwd=dist).returncode, 0, "sums")
    unpacked = os.path.join(ctx.work, "unpacked")
    with zipfile.ZipFile(os.path.join(dist, base + ".zip")) as archive:
        archive.extractall(unpacked)
    parts = {"bin/sing-box.exe": core}
    for root, _, files in os.walk(engine):
        for f in files:
            parts[os.path.relpath(os.path.join(root, f), engine)] = os.path.join(root, f)
    for name, source in parts.items():
        expect(filecmp.cmp(os.path.join(unpacked, name), source, shallow=False), name + " byte for byte")

    def signed(path):
        return tool("osslsigncode", "verify", "-CAfile", keys + "/cert.pem", "-in", path).returncode == 0
    for name in ("tessarin.exe", "tessarin-guard.exe"):
        expect(signed(os.path.join(unpacked, name)), name + " signed")
    expect(signed(os.path.join(dist, base + "-setup.exe")), "setup signed")
    forget_installation(ctx)
    location = os.path.join(ctx.work, "release")
    install(ctx, location, setup=os.path.join(dist, base + "-setup.exe"))
    expect(signed(os.path.join(location, "uninstall.exe")), "uninstaller signed")
    for name, source in parts.items():
        expect(filecmp.cmp(os.path.join(location, name), source, shallow=False), name + " installed")
    expect_connect_session(ctx, installed_app(ctx, location))
    uninstall(ctx, location)


def d11_upgrade_removes_what_it_replaced(ctx):
    """A release with files the next one no longer ships: the upgrade removes
    them, and the uninstall after it leaves no directory behind."""
    forget_installation(ctx)
    engine = os.path.join(ctx.work, "older-engine")
    os.makedirs(engine)
    shutil.copy(os.path.join(ctx.bundle, "flutter_windows.dll"), engine)
    shutil.copytree(os.path.join(ctx.bundle, "data"), os.path.join(engine, "data"))
    for name in ("old-helper.dll", "data/old/extra.dat"):
        os.makedirs(os.path.dirname(os.path.join(engine, name)), exist_ok=True)
        with open(os.path.join(engine, name), "wb") as f:
            f.write(b"shipped by the older release only")
    older_dist = os.path.join(ctx.work, "older-dist")
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    subprocess.run([os.path.join(source, "cmake", "make-dist.sh"), "--source", source,
                    "--bundle", ctx.bundle, "--engine-dir", engine,
                    "--core", os.path.join(ctx.bundle, "bin", "sing-box.exe"),
                    "--out", older_dist], check=True, capture_output=True)
    location = os.path.join(ctx.work, "Upgraded")
    install(ctx, location, setup=artifact(ctx, "-setup.exe", dist=older_dist, kind=""))
    expect(os.path.exists(os.path.join(location, "data", "old", "extra.dat")), "the older file")
    install(ctx)
    expect(not os.path.exists(os.path.join(location, "old-helper.dll")), "replaced file gone")
    expect(not os.path.exists(os.path.join(location, "data", "old")), "its emptied directory gone")
    expect_installed_at(ctx, location)
    uninstall(ctx, location)
    expect(not os.path.exists(location), "no directory left")

class ManifestMismatch(AssertionError):
    pass


def fetch_verified(url, sha256_hex, into):
    """Downloads |url| as a package manager does and checks it against the
    manifest's SHA-256 before anything runs."""
    path = os.path.join(into, urllib.parse.unquote(url.rsplit("/", 1)[1]))
    with urllib.request.urlopen(url, timeout=30) as response, open(path, "wb") as f:
        f.write(response.read())
    actual = hashlib.sha256(open(path, "rb").read()).hexdigest()
    if actual.lower() != sha256_hex.lower():
        raise ManifestMismatch("%s: SHA-256 %s, the manifest says %s" % (url, actual, sha256_hex))
    return path


def d12_package_managers(ctx):
    """winget and Scoop manifests written for a release URL: valid against the
    managers' schemas, and an install through each, as the manager would, from
    the artifacts served at that URL, runs a connect session. A setup changed
    after packaging fails the manifest's hash."""
    import jsonschema
    import yaml
    forget_installation(ctx)
    served = os.path.join(ctx.work, "served")
    dist = os.path.join(served, "tessarin", VERSION)
    port = unused_port()
    release_url = "http://127.0.0.1:%d/tessarin/%s" % (port, urllib.parse.quote(VERSION))
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    subprocess.run([os.path.join(source, "cmake", "make-dist.sh"), "--source", source,
                    "--bundle", ctx.bundle, "--out", dist, "--release-url", release_url],
                   check=True, capture_output=True)
    # The managers' own schemas, kept in the tree (installer/schemas/SOURCES.md).
    schemas = os.path.join(source, "installer", "schemas")
    identifier = "Tessarin.Tessarin"
    manifests = {}
    for kind, name in (("version", ""), ("installer", ".installer"), ("defaultLocale", ".locale.en-US")):
        with open(os.path.join(dist, "winget", identifier + name + ".yaml"), encoding="utf-8") as f:
            manifests[kind] = yaml.safe_load(f)
        with open(os.path.join(schemas, "winget-1.10.0", "manifest.%s.1.10.0.json" % kind)) as f:
            jsonschema.validate(manifests[kind], json.load(f))
    with open(os.path.join(dist, "scoop", "tessarin.json")) as f:
        scoop = json.load(f)
    with open(os.path.join(schemas, "scoop", "schema.json")) as f:
        jsonschema.validate(scoop, json.load(f))
    sums = open(os.path.join(dist, "SHA256SUMS")).read()
    expect("winget/%s.installer.yaml" % identifier in sums and "scoop/tessarin.json" in sums,
           "the manifests are in SHA256SUMS")

    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=served)
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    downloads = os.path.join(ctx.work, "downloads")
    os.makedirs(downloads)
    try:
        # winget: the installer, its hash, its silent switch and install location.
        installer = manifests["installer"]
        entry = installer["Installers"][0]
        setup = fetch_verified(entry["InstallerUrl"], entry["InstallerSha256"], downloads)
        location = os.path.join(ctx.work, "Winget Apps", "tessarin")
        switches = installer["InstallerSwitches"]
        line = '"%s" %s %s' % (windows_path(setup), switches["Silent"],
                               switches["InstallLocation"].replace("<INSTALLPATH>", windows_path(location)))
        spawn = os.path.join(os.path.dirname(ctx.bundle), "tests", "test_child.exe")
        expect_equal(ctx.wine.run(spawn, "--spawn", line, timeout=120).returncode, 0, "winget install")
        key = UNINSTALL_KEY.rsplit("\\", 1)[0] + "\\" + installer["ProductCode"]
        values = ctx.wine.registry_values(key)
        apps = installer["AppsAndFeaturesEntries"][0]
        expect_equal({k: values.get(k) for k in ("DisplayName", "Publisher", "DisplayVersion")},
                     {k: apps[k] for k in ("DisplayName", "Publisher", "DisplayVersion")},
                     "the uninstall entry is the manifest's")
        expect_connect_session(ctx, installed_app(ctx, location))
        uninstall(ctx, location)

        # Scoop: the zip, its hash, unpacked, its bin run.
        archive = fetch_verified(scoop["url"], scoop["hash"], downloads)
        unpacked = os.path.join(ctx.work, "scoop", "apps", "tessarin", scoop["version"])
        with zipfile.ZipFile(archive) as z:
            z.extractall(unpacked)
        expect(os.path.isfile(os.path.join(unpacked, scoop["bin"])), "Scoop's bin is in the zip")
        # Its shim starts the program from wherever the user is.
        expect_connect_session(ctx, App(ctx.wine, None, unpacked, directory=""),
                               working_directory=ctx.work)

        # One byte changed after packaging: the manifest no longer matches.
        with open(os.path.join(dist, os.path.basename(setup)), "r+b") as f:
            f.seek(1000)
            byte = f.read(1)
            f.seek(1000)
            f.write(bytes([byte[0] ^ 0xFF]))
        try:
            fetch_verified(entry["InstallerUrl"], entry["InstallerSha256"], ctx.work)
        except ManifestMismatch:
            pass
        else:
            raise AssertionError("a changed setup passed the manifest's hash")
    finally:
        server.shutdown()


def d13_planted_guard_id_costs_no_wait(ctx):
    """Another program publishes its own id under the guard's name: setup and
    uninstall wait for no foreign process."""
    forget_installation(ctx)
    holder = subprocess.Popen([ctx.wine.wine_run, os.path.join(os.path.dirname(ctx.bundle), "tests",
                                                               "deny_instance.exe"), "--publish-guard"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        expect_equal(holder.stdout.readline().strip(), b"held", "the name taken")
        took = install(ctx)
        expect(took < 10, "setup took %.1f s" % took)
        location = default_location(ctx)
        expect_installed_at(ctx, location)
        began = time.monotonic()
        uninstall(ctx, location)
        expect(time.monotonic() - began < 10, "uninstall took %.1f s" % (time.monotonic() - began))
        print("with a planted guard id: setup %.1f s, uninstall %.1f s"
              % (took, time.monotonic() - began))
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)


def d14_release_and_standins_apart(ctx):
    """A release and the stand-in distribution, each made after the other,
    in their own folders (as scripts/package writes them): both folders' sums
    check and both keep their manifests."""
    reference = shipped(ctx)
    engine = os.path.join(ctx.work, "engine")
    shutil.copytree(os.path.join(reference, "data"), os.path.join(engine, "data"))
    shutil.copy(os.path.join(reference, "flutter_windows.dll"), engine)
    core = os.path.join(reference, "bin", "sing-box.exe")
    folders = {"release": ["--engine-dir", engine, "--core", core], "dist": []}
    for kind in ("dist", "release", "dist"):
        made = tool(os.path.join(SOURCE, "cmake", "make-dist.sh"), "--source", SOURCE, "--bundle",
                    ctx.bundle, "--out", os.path.join(ctx.work, kind), "--release-url",
                    "https://downloads.example.org/tessarin/" + VERSION, *folders[kind])
        expect_equal(made.returncode, 0, "make-dist %s: %s" % (kind, made.stderr))
        for folder in set(folders) & set(os.listdir(ctx.work)):
            where = os.path.join(ctx.work, folder)
            expect_equal(tool("sha256sum", "-c", "SHA256SUMS", cwd=where).returncode, 0,
                         folder + ": sums check after " + kind)
            expect(os.path.isdir(os.path.join(where, "winget")) and
                   os.path.isfile(os.path.join(where, "scoop", "tessarin.json")),
                   folder + ": manifests kept after " + kind)
            expect(all(("-standins-" in name) == (folder == "dist")
                       for name in os.listdir(where) if name.startswith("tessarin-")),
                   folder + ": one kind only: %r" % os.listdir(where))


def d15_release_dump_names_functions(ctx):
    """A crash of the shipped (stripped) program, read with the symbols
    archive by the README's steps: the backtrace names our function."""
    app = installed_app(ctx, shipped(ctx))
    before = crash_dumps()
    app.run([{"call": "status"}, {"abort": True}], timeout=60)
    new = [name for name in crash_dumps() if name not in before]
    expect_equal(len(new), 1, "one dump: %r" % new)
    named = tool(os.path.join(SOURCE, "scripts", "symbolize"), os.path.join(crash_directory(), new[0]),
                 artifact(ctx, "-symbols.zip"), "--wine", ctx.wine.wine_run, timeout=300)
    expect(named.returncode == 0 and "tessarin::SignalProxyGuardCrash" in named.stdout,
           "the backtrace names our function: %s %s" % (named.stdout, named.stderr))
    print(named.stdout.strip())


SCENARIOS = {
    "d01_install_silent": d01_install_silent,
    "d02_install_unusual_directory": d02_install_unusual_directory,
    "d03_upgrade_over_running_program": d03_upgrade_over_running_program,
    "d04_uninstall_after_crash": d04_uninstall_after_crash,
    "d05_uninstall_leaves_foreign_proxy": d05_uninstall_leaves_foreign_proxy,
    "d06_portable_zip": d06_portable_zip,
    "d07_lean_binaries_with_symbols_apart": d07_lean_binaries_with_symbols_apart,
    "d08_uninstall_keeps_what_it_did_not_install": d08_uninstall_keeps_what_it_did_not_install,
    "d09_upgrade_in_place": d09_upgrade_in_place,
    "d10_signed_release_from_real_parts": d10_signed_release_from_real_parts,
    "d11_upgrade_removes_what_it_replaced": d11_upgrade_removes_what_it_replaced,
    "d12_package_managers": d12_package_managers,
    "d13_planted_guard_id_costs_no_wait": d13_planted_guard_id_costs_no_wait,
    "d14_release_and_standins_apart": d14_release_and_standins_apart,
    "d15_release_dump_names_functions": d15_release_dump_names_functions,
}



if __name__ == "__main__":
    sys.exit(main(SCENARIOS))
