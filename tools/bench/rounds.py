#!/usr/bin/env python3
"""Paired runs, interleaved, for the extraction benchmarks (zip-extract.sh).

usage: rounds.py <plan.json> <out.json>

The plan names the phases, each a set of sides (a shell command whose "{n}" is the run's folder
number) run RUNS + 1 times, the first round uncounted (it warms the caches), the order reversed
every other round so all sides see the same machine state. A side with "earlier" has the tree
"earlier_tree" copied to runs_dir/<n>/<earlier> before the phase's rounds: an installation the
run upgrades. Copies are made, and the previous phase's folders deleted, before a wait of
"settle" seconds: on ext4 without a journal a new file steps over every file deleted in the last
minute. A phase's "gap" is a wait before each of its runs, for phases whose runs delete trees.

The output has, per phase and side, the wall times, the times the program printed (seconds=, and
any other <name>_seconds= under "own") and the most peak_working_set_kib it printed."""
import json
import os
import shutil
import subprocess
import sys
import time


def run_phase(plan, phase, first_n):
    runs_dir = plan["runs_dir"]
    sides = phase["sides"]
    schedule = []
    n = first_n
    for k in range(int(plan["runs"]) + 1):
        for side in sides if k % 2 == 0 else list(reversed(sides)):
            n += 1
            schedule.append((k, side, n))
    for _, side, n in schedule:
        folder = os.path.join(runs_dir, str(n))
        os.makedirs(folder)
        if side.get("earlier"):
            subprocess.run(["cp", "-a", phase["earlier_tree"], os.path.join(folder, side["earlier"])], check=True)
    subprocess.run("sync", check=True)
    time.sleep(float(plan["settle"]))
    result = {side["name"]: {"times": [], "inside": [], "own": {}, "peak_ws_kib": 0} for side in sides}
    for k, side, n in schedule:
        if phase.get("gap"):
            subprocess.run("sync", check=True)
            time.sleep(float(phase["gap"]))
        cmd = side["cmd"].replace("{n}", str(n))
        subprocess.run("sync", check=True)
        start = time.perf_counter()
        done = subprocess.run(cmd, shell=True, stdout=subprocess.PIPE, text=True, errors="replace")
        wall = time.perf_counter() - start
        if done.returncode != 0:
            sys.exit(f"{phase['name']} {side['name']} failed (exit {done.returncode}): {cmd}\n{done.stdout[-2000:]}")
        own = dict(line.strip().split("=", 1) for line in done.stdout.splitlines() if "=" in line)
        mine = result[side["name"]]
        if "peak_working_set_kib" in own:
            mine["peak_ws_kib"] = max(mine["peak_ws_kib"], int(own["peak_working_set_kib"]))
        if k:
            mine["times"].append(wall)
            if "seconds" in own:
                mine["inside"].append(float(own["seconds"]))
            for key, value in own.items():
                if key.endswith("_seconds"):
                    mine["own"].setdefault(key, []).append(float(value))
    return result, [os.path.join(runs_dir, str(n)) for _, _, n in schedule], n


def main():
    plan = json.load(open(sys.argv[1]))
    out = {}
    n = 0
    previous = []
    for phase in plan["phases"]:
        # The earlier phase's trees go before this one's copies and settle: the disk holds one phase.
        for folder in previous:
            shutil.rmtree(folder, ignore_errors=True)
        out[phase["name"]], previous, n = run_phase(plan, phase, n)
    json.dump(out, open(sys.argv[2], "w"), indent=1)


if __name__ == "__main__":
    main()
