#!/usr/bin/env bash
# Extraction benchmark: the installer's zip reader, or its whole unzip task (MODE=task), as a
# Windows program under Wine, against Info-ZIP unzip (native) on the same generated payload. The
# task runs twice in each round: as a test build (no pins) and as a release pinning the payload.
#
#   bash tools/bench/zip-extract.sh <build-dir>
#   SEED=<n> RUNS=<n> to change the archive or the number of timed runs; MODE=reader|task;
#   SHAPE=payload|names: an emulator-like payload, or 65,535 small files with 243-byte names.
#   OUT=<folder>: where both sides extract (default <build-dir>/bench), say a tmpfs, to take the
#   disk out of the comparison.
# With MODE=task a third side writes the same tree with zeros, nothing read or inflated
# (create_floor): what any Windows program pays here to create these files, one after another.
# Every run writes a folder of its own, and all go at the end: on ext4 without a journal a new file
# steps over every file deleted in the last minute, which made a run after a deletion (unzip
# included) up to ten times slower, by chance. SETTLE=<s> is the wait for the deletions before
# (default 60).
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
seed=${SEED:-1}
runs=${RUNS:-5}
mode=${MODE:-reader}
shape=${SHAPE:-payload}
. "$src/tools/bench/bench-lib.sh"

cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" --target zip_bench unzip_task_bench create_floor >/dev/null
archive=$(bench_archive "$build" "$shape" "$seed")
cache="$build/bench"
out=${OUT:-$cache}
mkdir -p "$out"
out=$(cd "$out" && pwd)
out_reader="$out/out-reader"
out_unzip="$out/out-unzip"
runs_dir="$out/runs"  # runs_dir/<n>: the folder of timed run n
winpath() { printf 'Z:%s' "${1//\//\\}"; }

export VEXO_BUILD_DIR="$build"
"$src/tools/wine/wine-session.sh" start
# The extracted trees go at the end (up to 10 GB); the generated archive stays cached.
trap '"$src/tools/wine/wine-session.sh" stop; rm -rf "$out_reader" "$out_unzip" "$runs_dir"' EXIT
rm -rf "$runs_dir"
mkdir -p "$runs_dir"

# Each command names its folder through {n}: "x" for the untimed runs, the run's number after.
if [ "$mode" = task ]; then
    # The task reads "platform.zip" beside itself and extracts into a product folder; X: is
    # runs_dir, so the install folder X:\<n>\kavix is as short as a real one.
    out_reader="$runs_dir/x/kavix"
    program=$(stage_unzip_task "$build" "$archive" "$runs_dir")
    reader_cmd="$build/wine-run.sh $program 'X:\\{n}\\kavix'"
    floor_cmd="$build/wine-run.sh $build/tools/bench/create_floor.exe '$(winpath "$archive")' 'X:\\{n}\\floor'"
else
    out_reader="$runs_dir/x/reader"
    reader_cmd="$build/wine-run.sh $build/tools/bench/zip_bench.exe '$(winpath "$archive")' '$(winpath "$runs_dir")\\{n}\\reader'"
fi
out_unzip="$runs_dir/x/unzip"
unzip_cmd="unzip -q -o '$archive' -d '$runs_dir/{n}/unzip'"
untimed() { mkdir -p "$runs_dir/x"; eval "${1//\{n\}/x}"; }

# One untimed run each: the reader's own figures, peak memory, and a check that both agree.
reader_report=$(untimed "$reader_cmd" | tr -d '\r')
reader_rss=$( { /usr/bin/time -f '%M' bash -c "rm -rf '$out_reader'; ${reader_cmd//\{n\}/x}" >/dev/null; } 2>&1 | tail -1)
unzip_rss=$( { /usr/bin/time -f '%M' bash -c "${unzip_cmd//\{n\}/x}" >/dev/null; } 2>&1 | tail -1)
# The task also lists what it made, in its install folder.
diff_exclude=()
[ "$mode" = task ] && diff_exclude=(-x install.lst)
if ! differences=$(diff -rq "${diff_exclude[@]}" "$out_reader" "$out_unzip"); then
    echo "MISMATCH: the reader's output differs from unzip's" >&2
    head -5 <<<"$differences" >&2
    exit 1
fi

# Paired runs, interleaved (the order alternating), so both sides see the same machine state:
# the disk's writeback and the page cache drift over a minute more than the difference measured.
# Each timed run starts with the previous run's writes flushed, so neither side pays for the other.
json="$cache/timings-$shape-$mode.json"
sides=("$mode" "$reader_cmd" unzip "$unzip_cmd")
if [ "$mode" = task ]; then
    pin=$(sha256sum "$archive" | cut -c1-64)
    pinned_report=$(untimed "rm -rf '$out_reader'; VEXO_PAYLOAD_PIN=$pin $reader_cmd" | tr -d '\r')
    grep -qx 'failed=0' <<<"$pinned_report" || { echo "the pinned task failed: $pinned_report" >&2; exit 1; }
    floor_report=$(untimed "$floor_cmd" | tr -d '\r')
    grep -qx 'failures=0' <<<"$floor_report" || { echo "the floor failed: $floor_report" >&2; exit 1; }
    sides+=(pinned "VEXO_PAYLOAD_PIN=$pin $reader_cmd" floor "$floor_cmd")
fi
rm -rf "$runs_dir/x"
sync
sleep "${SETTLE:-60}"
/usr/bin/python3 - "$json" "$runs" "$mode" "$runs_dir" "${sides[@]}" <<'PY'
import json, os, statistics, subprocess, sys, time
out, runs, mode, runs_dir = sys.argv[1:5]
args = sys.argv[5:]
sides = {args[i]: args[i + 1] for i in range(0, len(args), 2)}
times = {name: [] for name in sides}
n = 0
for k in range(int(runs) + 1):  # the first round warms the caches and is not counted
    order = list(sides) if k % 2 == 0 else list(reversed(sides))
    for name in order:
        n += 1
        os.makedirs(os.path.join(runs_dir, str(n)))
        cmd = sides[name].replace("{n}", str(n))
        subprocess.run("sync", shell=True, check=True)
        start = time.perf_counter()
        subprocess.run(cmd, shell=True, check=True, stdout=subprocess.DEVNULL)
        if k:
            times[name].append(time.perf_counter() - start)
results = [{"command": n, "mean": statistics.mean(t), "min": min(t), "stddev": statistics.pstdev(t), "times": t}
           for n, t in times.items()]
ratios = {n: statistics.median([a / b for a, b in zip(t, times["unzip"])]) for n, t in times.items() if n != "unzip"}
if "floor" in times:
    ratios["over_floor"] = statistics.median([a / b for a, b in zip(times[mode], times["floor"])])
json.dump({"results": results, "pair_ratio_median": ratios[mode], "ratios": ratios,
           "pinned_over_task": statistics.median([p - t for p, t in zip(times.get("pinned", []), times[mode])] or [0])},
          open(out, "w"))
PY

read -r entries bytes < <(/usr/bin/python3 -c "import sys, zipfile
infos = zipfile.ZipFile(sys.argv[1]).infolist()
print(len(infos), sum(i.file_size for i in infos))" "$archive")
python3 - "$json" "$bytes" "$reader_rss" "$unzip_rss" "$reader_report" "$mode" "$entries" <<'PY'
import json, sys
data = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
size = int(sys.argv[2])
reader_rss, unzip_rss = int(sys.argv[3]), int(sys.argv[4])
own = dict(line.split("=", 1) for line in sys.argv[5].split() if "=" in line)
mode, entries = sys.argv[6], sys.argv[7]
r, u = data[mode], data["unzip"]
label = "unzip task" if mode == "task" else "reader"
print()
print(f"archive: {entries} entries, {size / 1e6:.0f} MB uncompressed")
for name, res, rss in ((f"{label} (Wine, whole process)", r, reader_rss), ("unzip (native)", u, unzip_rss)):
    print(f"{name:34s} {res['mean']:.3f} s  (min {res['min']:.3f}, sd {res['stddev']:.3f})  "
          f"{size / 1e6 / res['mean']:.0f} MB/s  {int(entries) / res['mean']:.0f} entries/s  "
          f"max RSS {rss / 1024:.1f} MiB")
seconds = float(own["seconds"])
cpu = f" ({float(own['cpu_seconds']):.3f} s of its own CPU)" if "cpu_seconds" in own else ""
print(f"{label} inside the process:{'':9s}{seconds:.3f} s{cpu}  {size / 1e6 / seconds:.1f} MB/s  "
      f"peak working set {int(own['peak_working_set_kib']) / 1024:.1f} MiB, "
      f"peak pagefile {int(own['peak_pagefile_kib']) / 1024:.1f} MiB")
ratio = r["mean"] / u["mean"]
paired = json.load(open(sys.argv[1]))["pair_ratio_median"]
print(f"time ratio {label}/unzip: {ratio:.2f} of the means, {paired:.2f} median of the pairs (target <= 1.00)")
print(f"peak working set under 32 MiB: {'yes' if int(own['peak_working_set_kib']) < 32 * 1024 else 'NO'}")
timings = json.load(open(sys.argv[1]))
if "pinned" in data:
    p = data["pinned"]
    print(f"{'unzip task, payload pinned':34s} {p['mean']:.3f} s  (min {p['min']:.3f}, sd {p['stddev']:.3f})  "
          f"time ratio pinned/unzip {timings['ratios']['pinned']:.2f} median of the pairs; "
          f"the pin costs {timings['pinned_over_task']:+.3f} s over the task (median of the rounds)")
if "floor" in data:
    f = data["floor"]
    print(f"{'creating the same files (Wine)':34s} {f['mean']:.3f} s  (min {f['min']:.3f}, sd {f['stddev']:.3f})  "
          f"time ratio task/this floor {timings['ratios']['over_floor']:.2f} median of the pairs")
PY
