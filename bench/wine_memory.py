#!/usr/bin/python3
"""Peak memory under Wine, side by side in one run, as ratios:

- start and close: tessarin.exe as shipped (stripped, from the stand-in zip)
  and as built (the bundle, with debug info), each against a bare Win32
  window program that shows a window and closes it;
- the outside guard, started and armed as the host starts it, against a
  minimal Win32 program that only waits on a handle.

Peak is the Linux process's VmHWM (Wine maps the whole image, so an image's
size shows); private is Private_Clean + Private_Dirty at its highest.

usage: bench/wine_memory.py [BUILD_DIR] [--earlier BUNDLE]   (default
build/windows; run scripts/package or the windows build first, and no Wine
tests meanwhile). --earlier also measures the start and close of another
build's bundle (an earlier commit's, its binaries stripped) side by side
with the shipped program.
"""
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DISPLAY = "74"
ROUNDS = 3


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def processes_matching(name):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                args = f.read().decode("utf-8", "replace").lower()
        except OSError:
            continue
        if name.lower() in args and "wine_memory" not in args:
            found.append(entry)
    return found


def sample(pid):
    """(VmHWM, private) in KiB, or None once the process is gone."""
    try:
        with open("/proc/%s/status" % pid) as f:
            peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        private = 0
        with open("/proc/%s/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith(("Private_Clean:", "Private_Dirty:")):
                    private += int(line.split()[1])
        return peak, private
    except (OSError, StopIteration):
        return None


def measure(command, cwd, name, env, seconds=None):
    """Highest peak and private memory of the processes called |name| while
    |command| runs (until it exits, or for |seconds| and then killed)."""
    process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    began = time.monotonic()
    peak = private = 0
    while process.poll() is None or processes_matching(name):
        for pid in processes_matching(name):
            got = sample(pid)
            if got:
                peak, private = max(peak, got[0]), max(private, got[1])
        if seconds is not None and time.monotonic() - began > seconds:
            break
        if time.monotonic() - began > 60:
            raise RuntimeError("%s never ended" % name)
        time.sleep(0.01)
    if process.poll() is None:
        subprocess.run([command[0], "taskkill", "/F", "/IM", name], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        process.wait(timeout=30)
    return peak, private


def main():
    args = sys.argv[1:]
    earlier_bundle = None
    if "--earlier" in args:
        at = args.index("--earlier")
        earlier_bundle = os.path.abspath(args[at + 1])
        del args[at:at + 2]
    build = os.path.abspath(args[0] if args else os.path.join(ROOT, "build", "windows"))
    wine_run = os.path.join(build, "wine-run")
    prefix = os.path.join(build, "wineprefix")
    work = os.path.join(build, "bench-memory")
    shutil.rmtree(work, ignore_errors=True)
    shipped = os.path.join(work, "shipped")
    with zipfile.ZipFile(glob.glob(os.path.join(build, "dist", "tessarin-*-standins-windows-x64.zip"))[0]) as z:
        z.extractall(shipped)
    built = os.path.join(work, "built")
    shutil.copytree(os.path.join(build, "bundle"), built)
    earlier = os.path.join(work, "earlier")
    if earlier_bundle:
        shutil.copytree(earlier_bundle, earlier)
    for name in ("bare_window.exe", "wait_on_handle.exe", "guard_launcher.exe"):
        shutil.copy(os.path.join(build, "bench", name), shipped)
    scenario = os.path.join(work, "close.json")
    with open(scenario, "w") as f:
        json.dump({"steps": [{"close": True}]}, f)
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["TESSARIN_DISPLAY"] = ":" + DISPLAY
    fixture = os.path.join(ROOT, "cmake", "wine-fixture.sh")
    subprocess.run([fixture, "setup", prefix, DISPLAY], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        runs = {key: [] for key in ("bare", "shipped", "built", "waiter", "guard")}
        if earlier_bundle:
            runs["earlier"] = []
        tessarin = [wine_run, "tessarin.exe", "--scenario=" + windows_path(scenario)]
        for _ in range(ROUNDS):
            runs["bare"].append(measure([wine_run, "bare_window.exe"], shipped, "bare_window.exe", env))
            runs["shipped"].append(measure(tessarin, shipped, "tessarin.exe", env))
            runs["built"].append(measure(tessarin, built, "tessarin.exe", env))
            if earlier_bundle:
                runs["earlier"].append(measure(tessarin, earlier, "tessarin.exe", env))
            runs["waiter"].append(measure([wine_run, "wait_on_handle.exe"], shipped, "wait_on_handle.exe",
                                          env, seconds=3))
            runs["guard"].append(measure([wine_run, "guard_launcher.exe", "3000"], shipped,
                                         "tessarin-guard.exe", env))
    finally:
        subprocess.run([fixture, "cleanup", prefix], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    median = {key: (statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs))
              for key, rs in runs.items()}
    for key, (peak, private) in median.items():
        print("%-8s peak %7.1f MiB  private %6.1f MiB" % (key, peak / 1024, private / 1024))
    print("start and close, shipped / bare window: %.2f" % (median["shipped"][0] / median["bare"][0]))
    print("start and close, built / bare window:   %.2f" % (median["built"][0] / median["bare"][0]))
    if earlier_bundle:
        # Against the shipped (stripped) program: strip the earlier bundle's binaries first.
        print("start and close, shipped / earlier:     %.2f (%+.2f MiB peak, %+.2f MiB private)"
              % (median["shipped"][0] / median["earlier"][0],
                 (median["shipped"][0] - median["earlier"][0]) / 1024,
                 (median["shipped"][1] - median["earlier"][1]) / 1024))
    print("guard / waiting program, peak:          %.2f" % (median["guard"][0] / median["waiter"][0]))
    print("guard / waiting program, private:       %.2f" % (median["guard"][1] / median["waiter"][1]))


if __name__ == "__main__":
    main()
