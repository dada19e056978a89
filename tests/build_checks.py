#!/usr/bin/env python3
"""Checks of the build itself.

usage: build_checks.py native SOURCE WORK
         no host path in a CMakeLists.txt outside a fallback; a configure
         with the tests off succeeds and leaves no symbolic link behind
       build_checks.py real-engine SOURCE WORK ENGINE_DLL IMPORT_LIBRARY
         a Windows build given TESSARIN_ENGINE_DIR (a copy of ENGINE_DLL and
         IMPORT_LIBRARY) ships that DLL byte for byte and builds no stand-in
       build_checks.py hardened WINE_RUN OVERFLOW_CHECK BINARY...
         each binary has the stack protector and ASLR, high-entropy ASLR and
         DEP; an overflowing strcpy in a program built alike never returns
"""
import filecmp
import os
import shutil
import re
import subprocess
import sys


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def cmake(*args, cwd=None):
    done = subprocess.run(["cmake", *args], cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        fail("cmake %s:\n%s%s" % (" ".join(args), done.stdout[-3000:], done.stderr[-3000:]))
    return done.stdout


def native(source, work):
    for root, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if d not in ("build", ".git")]
        if "CMakeLists.txt" not in files:
            continue
        path = os.path.join(root, "CMakeLists.txt")
        lines = open(path, encoding="utf-8").read().splitlines()
        for number, line in enumerate(lines):
            context = line + (lines[number + 1] if number + 1 < len(lines) else "")
            if "/usr/" in line and "fallback" not in context:
                fail("%s:%d names a host path outside a fallback: %s" % (path, number + 1, line))
    build = os.path.join(work, "native-no-tests")
    shutil.rmtree(build, ignore_errors=True)
    cmake("-S", source, "-B", build, "-G", "Ninja", "-DTESSARIN_TESTS=OFF")
    links = [os.path.join(r, n) for r, ds, fs in os.walk(build) for n in ds + fs
             if os.path.islink(os.path.join(r, n))]
    if links:
        fail("symbolic links in the build tree: %r" % links)
    print("no host path outside fallbacks; configured with the tests off, no symbolic link")


def real_engine(source, work, dll, implib):
    engine = os.path.join(work, "engine")
    shutil.rmtree(engine, ignore_errors=True)
    os.makedirs(engine)
    shutil.copy(dll, os.path.join(engine, "flutter_windows.dll"))
    shutil.copy(implib, os.path.join(engine, os.path.basename(implib)))
    build = os.path.join(work, "real-engine")
    shutil.rmtree(build, ignore_errors=True)
    # A given core too: any file stands for it, its bytes are what count.
    core = os.path.join(work, "sing-box-given.exe")
    with open(core, "wb") as f:
        f.write(b"MZ a given core " + os.urandom(64))
    cmake("-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
          "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "mingw-w64.cmake"),
          "-DTESSARIN_ENGINE_DIR=" + engine, "-DTESSARIN_CORE_PATH=" + core)
    for build_number in (1, 2):  # a second build must not put anything over it
        cmake("--build", build, "--target", "bundle")
        shipped = os.path.join(build, "bundle", "flutter_windows.dll")
        if not filecmp.cmp(shipped, os.path.join(engine, "flutter_windows.dll"), shallow=False):
            fail("the bundle's flutter_windows.dll is not the engine's")
        if not filecmp.cmp(os.path.join(build, "bundle", "bin", "sing-box.exe"), core, shallow=False):
            fail("build %d: the bundle's sing-box.exe is not the given core" % build_number)
    compiled = [os.path.join(r, n) for r, _, fs in os.walk(build) for n in fs
                if "windows_engine" in n or "sing_box_main" in n or
                n == "flutter_windows.dll" and r != os.path.join(build, "bundle")]
    if compiled:
        fail("a stand-in engine or core was built: %r" % compiled)
    print("the bundle ships the given engine and core byte for byte, after two builds; "
          "no stand-in was built")


def windows_native_configure(source, work):
    """The configure a Windows developer runs (WIN32, not cross-compiling),
    with the tests on and off: it must pass."""
    for tests in ("ON", "OFF"):
        build = os.path.join(work, "as-native-" + tests.lower())
        shutil.rmtree(build, ignore_errors=True)
        ran = subprocess.run(["cmake", "-S", source, "-B", build, "-G", "Ninja",
                              "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake",
                                                                         "windows-as-native.cmake"),
                              "-DTESSARIN_TESTS=" + tests], capture_output=True, text=True)
        if ran.returncode != 0 or "CMake Error" in ran.stderr:
            fail("configure with tests %s failed:\n%s" % (tests, ran.stderr[-3000:]))
        if tests == "ON" and "the end-to-end tests, which run under Wine, are off" not in ran.stdout:
            fail("no word at configure that the end-to-end tests are off:\n" + ran.stdout[-2000:])
    print("configured as on Windows, with the tests on and off")


def hardened(wine_run, overflow_check, *binaries):
    for binary in binaries:
        symbols = subprocess.run(["x86_64-w64-mingw32-nm", binary], capture_output=True,
                                 text=True).stdout
        if "__stack_chk_guard" not in symbols or "__stack_chk_fail" not in symbols:
            fail("%s has no stack protector" % binary)
        # A detach can lose the next thread in the thread library: nothing
        # calls one (the library's object that holds it comes whole).
        code = subprocess.run(["x86_64-w64-mingw32-objdump", "-d", binary], capture_output=True,
                              text=True).stdout
        if "_ZNSt6thread6detachEv" in symbols or re.search(r"(call|jmp) .*<pthread_detach>", code):
            fail("%s detaches a thread" % binary)
        headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", binary], capture_output=True,
                                 text=True).stdout
        for flag in ("DYNAMIC_BASE", "HIGH_ENTROPY_VA", "NX_COMPAT"):
            if flag not in headers:
                fail("%s lacks %s" % (binary, flag))
    ran = subprocess.run([wine_run, overflow_check, "x" * 64], capture_output=True, text=True,
                         timeout=60, stdin=subprocess.DEVNULL)
    if "returned" in ran.stdout:
        fail("an overflowing strcpy returned: %r" % ran.stdout)
    # Our own failure call ends it with 0xC0000409, as /GS does (Wine hands
    # its low byte on), not libssp's abort (3).
    if ran.returncode & 0xFF != 0x09:
        fail("the overflow ended with exit code %#x, not our failure call's" % ran.returncode)
    canaries = [subprocess.run([wine_run, overflow_check, "--canary"], capture_output=True,
                               text=True, timeout=60, stdin=subprocess.DEVNULL).stdout.strip()
                for _ in range(2)]
    if canaries[0] == canaries[1] or "5a17c0d3e2b4f961" in canaries or "" in canaries:
        fail("the canary is not random per run: %r" % canaries)
    print("%d binaries hardened; the overflow stopped the program (exit code %#x); canaries %r"
          % (len(binaries), ran.returncode, canaries))


if __name__ == "__main__":
    if sys.argv[1] == "native":
        native(*sys.argv[2:4])
    elif sys.argv[1] == "hardened":
        hardened(*sys.argv[2:])
    elif sys.argv[1] == "windows-native-configure":
        windows_native_configure(*sys.argv[2:4])
    else:
        real_engine(*sys.argv[2:6])
