#!/usr/bin/python3
"""How strong the bridge's simulation is: deliberate faults put into the
bridge one at a time, the simulation rebuilt and run exactly as CI runs it,
and `killed K of N` at the end. A fault the simulation misses is a hole in
its world or its invariants.

usage: bench/sim_mutants.py [NAME ...]   (default: every fault below)

It works on a copy of the tracked sources in build/mutants/ (the tree itself
is never touched) and needs only the native toolchain. Each fault is one
exact text replacement that must match once. Add every fault a review or a
check finds here, then fix it.
"""
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutants")
SRC = os.path.join(WORK, "src")
BUILD = os.path.join(WORK, "build")

# (name, file, text, replacement)
MUTANTS = [
    ("core re-check after the switch-on removed", "tunnel/connect_sequence.cc",
     "  if (!IsCoreAlive(*ports_.processes, coreProcessId)) {\n    ProxyOff();",
     "  if (false) {\n    ProxyOff();"),
    ("core re-check before the switch-on removed", "tunnel/connect_sequence.cc",
     "  if (!IsCoreAlive(*ports_.processes, coreProcessId)) {\n    FailEndedCore(done);",
     "  if (false) {\n    FailEndedCore(done);"),
    ("a guard lost before the switch-on ignored", "tunnel/connect_sequence.cc",
     "const bool guard_lost = job.guardArmed && guard_->Lost();",
     "const bool guard_lost = false;"),
    ("the job's re-arm of a guard not watching removed", "tunnel/core_job.cc",
     "if (ports.guard != nullptr && !ports.guard->Watching()) {",
     "if (false) {"),
    ("the read-back after the switch-on removed", "tunnel/tunnel_bridge.cc",
     "if (!OurValuesOn(&known) && known) {", "if (!OurValuesOn(&known) && known && false) {"),
    ("no re-arm after a failed switch-off with no tunnel", "tunnel/tunnel_bridge.cc",
     "    if (!active) guard_->Rearm();\n", ""),
    ("a cancelled connect's core not ended at teardown", "tunnel/tunnel_bridge.cc",
     "      ports_.processes->Terminate(job->job->coreProcessId, 0);\n", ""),
    ("a takeover while connected ignored", "tunnel/tunnel_bridge.cc",
     "  if (ours == !takenOver_) return;", "  if (ours || !ours) return;"),
    ("a dead core ignored", "tunnel/tunnel_bridge.cc",
     "  if (!active || process_id != coreProcessId) return;", "  return;"),
    ("no switch-off at a rollback", "tunnel/tunnel_bridge.cc",
     '  flutter::RunAtBoundary("Exception rolling back: ", [&] { ProxyOff(); });\n', ""),
]


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)


def ci_arguments():
    """The simulation's arguments as CI's test runs it."""
    text = open(os.path.join(ROOT, "tests", "CMakeLists.txt")).read()
    found = re.search(r"NAME sim\.bridge_simulation COMMAND bridge_simulation ([^)]*)\)", text)
    if not found:
        sys.exit("sim_mutants: the simulation's test is not in tests/CMakeLists.txt")
    return found.group(1).split()


def fresh_copy():
    files = run(["git", "ls-files"], cwd=ROOT).stdout.split()
    if os.path.isdir(SRC):
        shutil.rmtree(SRC)
    for name in files:
        target = os.path.join(SRC, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # What is in the tree now, uncommitted changes included.
        source = os.path.join(ROOT, name)
        if os.path.exists(source):
            shutil.copy2(source, target)


def build():
    if not os.path.exists(os.path.join(BUILD, "build.ninja")):
        configured = run(["cmake", "-S", SRC, "-B", BUILD, "-G", "Ninja",
                          "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_COMPILER=g++",
                          "-DCMAKE_C_COMPILER=gcc"])
        if configured.returncode != 0:
            print(configured.stdout[-3000:])
            sys.exit("sim_mutants: configure failed")
    return run(["cmake", "--build", BUILD, "--target", "bridge_simulation"])


def simulate(arguments):
    began = time.monotonic()
    done = run([os.path.join(BUILD, "tests", "bridge_simulation")] + arguments)
    lines = done.stdout.strip().splitlines()
    first = next((line for line in lines if " failed: " in line), "")
    return done.returncode, lines[-1] if lines else "", first, time.monotonic() - began


def main():
    chosen = [m for m in MUTANTS if len(sys.argv) < 2 or m[0] in sys.argv[1:]]
    arguments = ci_arguments()
    fresh_copy()
    built = build()
    if built.returncode != 0:
        print(built.stdout[-3000:])
        sys.exit("sim_mutants: the unchanged sources do not build")
    code, summary, first, _ = simulate(arguments)
    print(f"unchanged: {summary}")
    if code != 0:
        sys.exit(f"sim_mutants: the simulation fails without any fault ({first})")
    killed = 0
    for name, path, text, replacement in chosen:
        source = os.path.join(SRC, path)
        original = open(source).read()
        if original.count(text) != 1:
            print(f"?? {name}: its text is found {original.count(text)} times in {path}")
            continue
        with open(source, "w") as out:
            out.write(original.replace(text, replacement))
        try:
            built = build()
            if built.returncode != 0:
                print(f"?? {name}: does not build")
                print(built.stdout[-1500:])
                continue
            code, summary, first, spent = simulate(arguments)
        finally:
            with open(source, "w") as out:
                out.write(original)
        verdict = "killed" if code != 0 else "LIVED "
        killed += code != 0
        print(f"{verdict} {name}: {summary} ({spent:.0f} s)")
        if first:
            print(f"       {first}")
    build()
    print(f"killed {killed} of {len(chosen)}")
    return 0 if killed == len(chosen) else 1


if __name__ == "__main__":
    sys.exit(main())
