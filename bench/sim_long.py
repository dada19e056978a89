#!/usr/bin/python3
"""A long run of the bridge's simulation, on every core: a million schedules
or more (seeds from --first on, split between the cores), the kept seeds
left to CI. Every failing seed is printed and kept in
build/sim-long/failed-seeds.txt, to replay with
`build/native/tests/bridge_simulation --seed S` and, once its fault is fixed,
to add to the simulation's kept seeds.

usage: bench/sim_long.py [--first S] [--schedules N] [--seconds T]
(defaults: from 100000, 1000000 schedules, at most 3600 s; after a native
build)
"""
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIMULATION = os.path.join(ROOT, "build", "native", "tests", "bridge_simulation")
OUT = os.path.join(ROOT, "build", "sim-long")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--first", type=int, default=100000)
    parser.add_argument("--schedules", type=int, default=1000000)
    parser.add_argument("--seconds", type=float, default=3600)
    args = parser.parse_args()
    if not os.path.exists(SIMULATION):
        sys.exit("sim_long: build the native preset first")
    cores = os.cpu_count() or 1
    share = (args.schedules + cores - 1) // cores
    began = time.monotonic()
    runs = [subprocess.Popen([SIMULATION, "--kept", "0", "--first", str(args.first + i * share),
                              "--schedules", str(share), "--seconds", str(args.seconds)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            for i in range(cores)]
    failed, ran, connected, hit = [], 0, 0, 0
    for run in runs:
        out, _ = run.communicate()
        failed += re.findall(r"^seed (\d+) failed: (.*)$", out, re.M)
        counts = re.search(r"^(\d+) with faults connected, (\d+) of them", out, re.M)
        total = re.search(r"^(\d+) schedules in", out, re.M)
        if counts and total:
            connected += int(counts.group(1))
            hit += int(counts.group(2))
            ran += int(total.group(1))
    spent = time.monotonic() - began
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "failed-seeds.txt"), "w") as kept:
        for seed, why in failed:
            kept.write(f"{seed} {why}\n")
            print(f"seed {seed} failed: {why}")
    print(f"{ran} schedules in {spent:.0f} s on {cores} cores ({ran / spent:.0f} a second), "
          f"{len(failed)} failed")
    print(f"{connected} with faults connected, {hit} of them with a fault while a tunnel was up")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
