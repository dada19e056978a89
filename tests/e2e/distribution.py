#!/usr/bin/python3
"""The distribution under Wine: the per-user installer (silent install, a
directory with spaces and non-ASCII letters, an upgrade over a running
program, uninstalls) and the portable zip, each running the connect session
from where the program landed.

usage: distribution.py WINE_RUN WINE_PREFIX BUNDLE WORK_ROOT NAME|all
(the installer and the zip are looked for in BUNDLE/../dist)
"""
import filecmp
import glob
import os
import shutil
import struct
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import PROXY_SERVER, App, windows_path  # noqa: E402
from scenarios import (FOREIGN_PROXY, SMART_MESSAGE, expect, expect_connect_session,  # noqa: E402
                       expect_connected, expect_equal, main, set_foreign_proxy)

VERSION = "1.0.22+22"
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\tessarin"
SHIPPED = ["tessarin.exe", "flutter_windows.dll", "bin/sing-box.exe", "data/app.so",
           "data/icudtl.dat", "data/flutter_assets/AssetManifest.json"]


def artifact(ctx, suffix):
    path = os.path.join(os.path.dirname(ctx.bundle), "dist", "tessarin-%s-windows-x64%s" % (VERSION, suffix))
    expect(os.path.exists(path), "artifact " + path)
    return path


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


def install(ctx, directory=None):
    """A silent install, with "/D=" typed as a user would: last and unquoted."""
    line = '"%s" /S' % windows_path(artifact(ctx, "-setup.exe"))
    if directory:
        line += " /D=" + windows_path(directory)
    spawn = os.path.join(os.path.dirname(ctx.bundle), "tests", "test_child.exe")
    began = time.monotonic()
    result = ctx.wine.run(spawn, "--spawn", line, timeout=120)
    expect_equal(result.returncode, 0, "installer exit code")
    return time.monotonic() - began


def uninstall(ctx, location):
    # The uninstaller copies itself away and returns at once: wait for its work.
    ctx.wine.run(windows_path(os.path.join(location, "uninstall.exe")), "/S")
    deadline = time.monotonic() + 60
    while os.path.exists(location) and time.monotonic() < deadline:
        time.sleep(0.2)
    expect(not os.path.exists(location), "installation directory removed")
    while ctx.wine.registry_values(UNINSTALL_KEY) and time.monotonic() < deadline:
        time.sleep(0.2)


def installed_app(ctx, location):
    # Scenario and transcript stay in the work directory, out of the installation.
    return App(ctx.wine, None, ctx.work, directory=location)


def expect_installed_at(ctx, location):
    for name in SHIPPED + ["uninstall.exe"]:
        expect(os.path.isfile(os.path.join(location, name)), "installed " + name)
    for name in SHIPPED:
        expect(filecmp.cmp(os.path.join(location, name), os.path.join(ctx.bundle, name), shallow=False),
               "installed %s is the bundle's" % name)
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
    app.start([ctx.connect(), {"wait_ms": 60000}])
    expect_connected(app.wait_for_step(0), SMART_MESSAGE, "connect before the upgrade")
    install(ctx)
    expect_equal(app.wait(timeout=30), 0, "the running program closed normally")
    expect(any(line.get("closed") for line in app.lines()), "closed through its window")
    expect(app.wait_cores_gone(), "no core after the upgrade")
    expect_equal(ctx.wine.proxy_values()["ProxyEnable"], 0, "proxy off after the upgrade")
    expect_installed_at(ctx, location)
    # The upgrade keeps what the program wrote; the next session's core log starts afresh.
    expect(os.path.exists(os.path.join(location, "tessarin-sing-box.json")), "configuration kept")
    os.remove(os.path.join(location, "sing-box.log"))
    expect_connect_session(ctx, installed_app(ctx, location))


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


def d05_uninstall_leaves_foreign_proxy(ctx):
    forget_installation(ctx)
    install(ctx)
    set_foreign_proxy(ctx)
    uninstall(ctx, default_location(ctx))
    expect_equal(ctx.wine.proxy_values(), FOREIGN_PROXY, "someone else's proxy untouched")


def d06_portable_zip(ctx):
    location = os.path.join(ctx.work, "unpacked")
    with zipfile.ZipFile(artifact(ctx, ".zip")) as archive:
        archive.extractall(location)
    expect_connect_session(ctx, installed_app(ctx, location))


SCENARIOS = {
    "d01_install_silent": d01_install_silent,
    "d02_install_unusual_directory": d02_install_unusual_directory,
    "d03_upgrade_over_running_program": d03_upgrade_over_running_program,
    "d04_uninstall_after_crash": d04_uninstall_after_crash,
    "d05_uninstall_leaves_foreign_proxy": d05_uninstall_leaves_foreign_proxy,
    "d06_portable_zip": d06_portable_zip,
}

if __name__ == "__main__":
    sys.exit(main(SCENARIOS))
