#!/usr/bin/env bash
# Closing extracted files where a scanner reads each new file as it is closed: the unzip task on
# the 400 MB benchmark payload with a fixed wait before every close of an extracted file (a model
# of the scan), with everything in turn (no closer threads, and the files filled on the extracting
# thread) against the task's closer threads and filler, and without the wait against native unzip.
# Paired and interleaved runs; prints times, the ratios, peak working sets and the most threads
# the task ran.
#
#   bash tools/bench/close-delay.sh <build-dir>      RUNS=3 SEED=1 DELAYS="3 10"
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
runs=${RUNS:-3}
delays=${DELAYS:-3 10}
. "$src/tools/bench/bench-lib.sh"

cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" --target unzip_task_bench >/dev/null
archive=$(bench_archive "$build" payload "${SEED:-1}")
out_task="$build/bench/out-task/kavix"
out_unzip="$build/bench/out-unzip"

export VEXO_BUILD_DIR="$build"
"$src/tools/wine/wine-session.sh" start
trap '"$src/tools/wine/wine-session.sh" stop; rm -rf "$out_task" "$out_unzip"' EXIT
program=$(stage_unzip_task "$build" "$archive")

/usr/bin/python3 - "$build/wine-run.sh" "$program" "$archive" "$out_task" "$out_unzip" "$runs" $delays <<'PY'
import statistics, subprocess, sys, time, zipfile
wine_run, program, archive, out_task, out_unzip, runs = sys.argv[1:7]
delays = [int(d) for d in sys.argv[7:]]
entries = len(zipfile.ZipFile(archive).infolist())

# side: (label, delay in ms, closer threads or None for the task's own choice); None: unzip
sides = {"unzip": None, "pool 0": ("closer threads", 0, None), "turn 0": ("each in turn", 0, 0)}
for d in delays:
    sides[f"turn {d}"] = ("each in turn", d, 0)
    sides[f"pool {d}"] = ("closer threads", d, None)

def run(side):
    subprocess.run(f"rm -rf '{out_task}' '{out_unzip}'; mkdir -p '{out_task}/..'; sync", shell=True, check=True)
    setup = sides[side]
    if setup is None:
        cmd = ["unzip", "-q", "-o", archive, "-d", out_unzip]
    else:
        cmd = [wine_run, program, "X:\\kavix", str(setup[1])] + ([] if setup[2] is None else [str(setup[2])])
    start = time.perf_counter()
    done = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    own = dict(line.strip().split("=", 1) for line in done.stdout.splitlines() if "=" in line)
    if setup is not None and own.get("failed") != "0":
        sys.exit(f"the task failed: {done.stdout}")
    return wall, own

# The closer threads' output, with the longest wait, is the same tree as unzip's.
run(f"pool {max(delays)}" if delays else "pool 0")
subprocess.run(["unzip", "-q", "-o", archive, "-d", out_unzip], check=True)
diff = subprocess.run(["diff", "-rq", "-x", "install.lst", out_task, out_unzip], stdout=subprocess.PIPE, text=True)
if diff.returncode != 0:
    sys.exit("MISMATCH: the task's output differs from unzip's\n" + "\n".join(diff.stdout.splitlines()[:5]))

run("pool 0"); run("unzip")  # warm the page cache, not counted
wall = {s: [] for s in sides}
inside = {s: [] for s in sides}
seen = {s: {} for s in sides}
for k in range(int(runs)):
    order = list(sides) if k % 2 == 0 else list(reversed(sides))
    for side in order:
        w, own = run(side)
        wall[side].append(w)
        if own:
            inside[side].append(float(own["seconds"]))
            seen[side]["ws"] = max(seen[side].get("ws", 0), int(own["peak_working_set_kib"]))
            seen[side]["threads"] = max(seen[side].get("threads", 0), int(own["most_threads"]))

mean = statistics.mean
print(f"\narchive: {entries} entries; {runs} paired runs, interleaved")
print(f"{'':34s} {'whole process':>14s} {'in the task':>12s} {'peak WS':>9s} {'threads':>8s}")
for side, setup in sides.items():
    label = "unzip (native)" if setup is None else f"task, {setup[0]}, wait {setup[1]} ms"
    ws = f"{seen[side]['ws'] / 1024:.1f} MiB" if seen[side] else ""
    threads = str(seen[side].get("threads", "")) if seen[side] else ""
    task = f"{mean(inside[side]):.3f} s" if inside[side] else ""
    print(f"{label:34s} {mean(wall[side]):12.3f} s {task:>12s} {ws:>9s} {threads:>8s}")

def paired(a, b, times):
    return statistics.median(x / y for x, y in zip(times[a], times[b]))
print()
print(f"1. task / unzip, whole process: closer threads {paired('pool 0', 'unzip', wall):.2f}, "
      f"each in turn {paired('turn 0', 'unzip', wall):.2f} (median of the pairs; must not grow)")
print(f"   closer threads / each in turn, no wait, in the task: {paired('pool 0', 'turn 0', inside):.2f}")
for d in delays:
    print(f"2. wait {d} ms a close, against no wait, in the task: closer threads "
          f"{paired(f'pool {d}', 'pool 0', inside):.2f} (target <= 1.30), each in turn "
          f"{paired(f'turn {d}', 'pool 0', inside):.2f} (the full wait, {entries} x {d} ms = {entries * d / 1000:.1f} s, "
          f"would be {(mean(inside['pool 0']) + entries * d / 1000) / mean(inside['pool 0']):.2f})")
most_ws = max(v["ws"] for v in seen.values() if v)
print(f"3. peak working set {most_ws / 1024:.1f} MiB, under 32 MiB: {'yes' if most_ws < 32 * 1024 else 'NO'}; "
      f"most threads {max(v['threads'] for v in seen.values() if v)}")
PY
