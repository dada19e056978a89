#!/usr/bin/python3
"""A connect under Wine, side by side in one run:

- a connect to the local test node, median of 5, with the start check that
  ends once the core listens against the fixed 800 ms wait
  (TESSARIN_FIXED_START_WAIT=1), and with the diagnostics log against none
  (its directory blocked by a file), rounds interleaved;
- the window's slowest answer (WM_NULL every 20 ms from another program)
  during a connect to a good, a refusing and a silent node, and the
  disconnect after it; and from a connected tunnel on, during its
  disconnect alone.

usage: bench/wine_connect.py [BUILD_DIR]   (default build/windows; after a
windows build, with no Wine tests running meanwhile)
"""
import datetime
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import App, Wine, clean_environment, windows_path  # noqa: E402
from scenarios import Context, prepare_node  # noqa: E402
from test_node import start_silent_node, unused_port  # noqa: E402

DISPLAY = "74"
ROUNDS = 5


def log_directory(prefix):
    local = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local"))[0]
    return os.path.join(local, "tessarin", "logs")


def connect_ms(app, ctx, fixed=False, blocked_log=None):
    """The connect's reply time, from the transcript; |blocked_log|: the log
    directory, kept from being made for this run."""
    if blocked_log:
        shutil.rmtree(blocked_log, ignore_errors=True)
        os.makedirs(os.path.dirname(blocked_log), exist_ok=True)
        open(blocked_log, "w").close()
    with open(app.scenario, "w") as f:
        json.dump({"steps": [ctx.connect(), {"close": True}]}, f)
    env = clean_environment()
    env["TESSARIN_DISPLAY"] = ":" + DISPLAY
    if fixed:
        env["TESSARIN_FIXED_START_WAIT"] = "1"
    subprocess.run([ctx.wine.wine_run, "tessarin.exe", "--scenario=" + windows_path(app.scenario),
                    "--transcript=" + windows_path(app.transcript)], cwd=app.dir, env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=120, check=True)
    if blocked_log:
        os.remove(blocked_log)
    line = app.replies()[0]
    assert "success" in line["reply"], line["reply"]
    return line["elapsed_ms"]


def own_limit_ms(directory):
    """What this run's connect cannot do without, from its log: the core's
    creation after the call, its time to listen and one probe attempt (the
    rest is what waited or competed beside them)."""
    with open(os.path.join(directory, "tessarin.log"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    starts = [i for i, line in enumerate(lines) if " started on Windows " in line]
    if not starts:
        return None  # (the log rotated under this run)
    run = lines[starts[-1]:]

    def at(line):
        return datetime.datetime.strptime(line[:23], "%Y-%m-%dT%H:%M:%S.%f").timestamp() * 1000

    def find(pattern):
        return next(((line, found) for line in run for found in [re.search(pattern, line)] if found),
                    (None, None))
    call, took = find(r"call connect: success, (\d+) ms")
    started, _ = find(r"\] core \d+ started$")
    _, listened = find(r"core \d+ (?:listening|running) after (\d+) ms")
    _, probed = find(r"probe attempt 1 of 8: read \d+ bytes, (\d+) ms")
    if None in (call, started, listened, probed):
        return None  # (a first attempt that failed: no single probe to count)
    created = at(started) - (at(call) - int(took.group(1)))
    return created + int(listened.group(1)) + int(probed.group(1))


def slowest_answer(app, ctx, port, pinger):
    # A disconnect after, and its switch-off: the window's own longest work.
    app.start([{"wait_ms": 300}, ctx.connect(port=port), {"wait_ms": 500}, {"call": "disconnect"},
               {"wait_ms": 300}])
    out = subprocess.run([ctx.wine.wine_run, pinger, "150000"], capture_output=True, text=True,
                         env=clean_environment(), stdin=subprocess.DEVNULL, timeout=200).stdout
    app.wait()
    report = json.loads(out.strip().splitlines()[-1])
    return report["slowest_ms"], app.replies()[1]["elapsed_ms"]


def disconnect_answer(app, ctx, pinger):
    """The window's slowest answer from a connected tunnel on: its disconnect
    (the switch-off, the guard's release) and the close after it."""
    app.start([{"wait_ms": 300}, ctx.connect(), {"wait_ms": 1500}, {"call": "disconnect"},
               {"wait_ms": 500}])
    app.wait_for_step(1)
    out = subprocess.run([ctx.wine.wine_run, pinger, "150000"], capture_output=True, text=True,
                         env=clean_environment(), stdin=subprocess.DEVNULL, timeout=200).stdout
    app.wait()
    report = json.loads(out.strip().splitlines()[-1])
    return report["slowest_ms"], app.replies()[3]["elapsed_ms"]


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "windows"))
    prefix = os.path.join(build, "wineprefix")
    work = os.path.join(build, "bench-connect")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.environ["TESSARIN_DISPLAY"] = ":" + DISPLAY
    fixture = os.path.join(ROOT, "cmake", "wine-fixture.sh")
    subprocess.run([fixture, "setup", prefix, DISPLAY], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wine = Wine(os.path.join(build, "wine-run"))
        node = prepare_node(wine, prefix, work)
        ctx = Context(wine, os.path.join(build, "bundle"), work, node.server_address[1])
        app = App(wine, ctx.bundle, work)
        times = {"ready": [], "fixed": [], "no log": [], "own": []}
        for _ in range(ROUNDS):
            times["ready"].append(connect_ms(app, ctx))
            times["own"].append(own_limit_ms(log_directory(prefix)))
            times["fixed"].append(connect_ms(app, ctx, fixed=True))
            times["no log"].append(connect_ms(app, ctx, blocked_log=log_directory(prefix)))
        pinger = os.path.join(build, "tests", "window_pinger.exe")
        answers = {kind: slowest_answer(app, ctx, port, pinger)
                   for kind, port in (("good", ctx.node_port), ("refusing", unused_port()),
                                      ("silent", start_silent_node()))}
        disconnect = disconnect_answer(app, ctx, pinger)
        node.shutdown()
    finally:
        subprocess.run([fixture, "cleanup", prefix], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ready, fixed = statistics.median(times["ready"]), statistics.median(times["fixed"])
    print("connect, start check until the core listens: median %d ms  %s" % (ready, times["ready"]))
    print("connect, fixed 800 ms start check:           median %d ms  %s" % (fixed, times["fixed"]))
    print("connect time, until listening / fixed wait:  %.2f" % (ready / fixed))
    # Its own limit: the core's creation + its time to listen + one probe.
    own = statistics.median([r / o for r, o in zip(times["ready"], times["own"]) if o])
    print("connect time / its own limit:                %.2f  (limits %s ms)"
          % (own, [round(o) if o else None for o in times["own"]]))
    unlogged = statistics.median(times["no log"])
    print("connect, no diagnostics log:                 median %d ms  %s" % (unlogged, times["no log"]))
    print("connect time, with log / without:            %.2f" % (ready / unlogged))
    for kind, (slowest, reply) in answers.items():
        print("%-8s node: slowest window answer %3d ms, reply after %5d ms" % (kind, slowest, reply))
    print("disconnect:    slowest window answer %3d ms, reply after %5d ms" % disconnect)


if __name__ == "__main__":
    main()
