#!/usr/bin/env bash
# Extraction benchmark: the installer's zip reader, or its whole unzip task (MODE=task), as a
# Windows program under Wine, against Info-ZIP unzip (native) on the same generated payload.
#
#   bash tools/bench/zip-extract.sh <build-dir>
#   SEED=<n> RUNS=<n> to change the archive or the number of timed runs; MODE=reader|task;
#   SHAPE=payload|names: an emulator-like payload, or 65,535 small files with 243-byte names
#   (ENTRIES=<n> fewer, for a quick trial of the script).
#   OUT=<folder>: where both sides extract (default <build-dir>/bench), say a tmpfs, to take the
#   disk out of the comparison.
# With MODE=task the task runs twice in each round, as a test build (no pins) and as a release
# pinning the payload, and a third side writes the same tree with zeros, nothing read or inflated
# (create_floor): what any Windows program pays here to create these files, one after another.
# The rounds run twice (CASES="fresh upgrade", the default, or either alone): as a fresh install
# (nothing in the install folder) and as an upgrade over an earlier installation of the same
# payload (each timed run's own copy, unzip's over its own tree, the floor's beside one).
# BEFORE=<build-dir> adds the unzip task of another build (the same benchmark program built from
# an earlier commit) to the same rounds, for before/after ratios.
# Every run writes a folder of its own, and all go at the end of their phase: on ext4 without a
# journal a new file steps over every file deleted in the last minute, which made a run after a
# deletion (unzip included) up to ten times slower, by chance. SETTLE=<s> is the wait for the
# deletions and copies before each phase (default 60). An upgrade deletes a tree within its run,
# so the fresh rounds go first; GAP=<s> waits that long before each upgrade run as well (default 0).
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
seed=${SEED:-1}
runs=${RUNS:-5}
mode=${MODE:-reader}
shape=${SHAPE:-payload}
cases=${CASES:-fresh upgrade}
before=${BEFORE:-}
. "$src/tools/bench/bench-lib.sh"

for c in $cases; do
    case "$c" in fresh | upgrade) ;; *) echo "CASES holds fresh and/or upgrade" >&2; exit 2 ;; esac
done
[ "$mode" = task ] || { cases=fresh; [ -z "$before" ] || { echo "BEFORE needs MODE=task" >&2; exit 2; }; }
cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" --target zip_bench unzip_task_bench create_floor >/dev/null
if [ -n "$before" ]; then
    before=$(cd "$before" && pwd)
    cmake --build "$before" --target unzip_task_bench >/dev/null
fi
archive=$(bench_archive "$build" "$shape" "$seed")
cache="$build/bench"
out=${OUT:-$cache}
mkdir -p "$out"
out=$(cd "$out" && pwd)
runs_dir="$out/runs"    # runs_dir/<n>: the folder of timed run n
earlier="$out/earlier"  # the installation each upgrade run starts from, copied
winpath() { printf 'Z:%s' "${1//\//\\}"; }

export VEXO_BUILD_DIR="$build"
"$src/tools/wine/wine-session.sh" start
# The extracted trees go at the end (up to 10 GB); the generated archive stays cached.
trap '"$src/tools/wine/wine-session.sh" stop; rm -rf "$runs_dir" "$earlier"' EXIT
rm -rf "$runs_dir" "$earlier"
mkdir -p "$runs_dir/x"

# Each command names its folder through {n}: "x" for the untimed runs, the run's number after.
if [ "$mode" = task ]; then
    # The task reads "platform.zip" beside itself and extracts into a product folder; X: is
    # runs_dir, so the install folder X:\<n>\kavix is as short as a real one.
    out_reader="$runs_dir/x/kavix"
    program=$(stage_unzip_task "$build" "$archive" "$runs_dir")
    reader_cmd="$build/wine-run.sh $program 'X:\\{n}\\kavix'"
    floor_cmd="$build/wine-run.sh $build/tools/bench/create_floor.exe '$(winpath "$archive")' 'X:\\{n}\\floor'"
    if [ -n "$before" ]; then
        # The earlier build's program, in this prefix beside its own "platform.zip".
        before_stage="$cache/task-before"
        mkdir -p "$before_stage"
        cp "$before/tools/bench/unzip_task_bench.exe" "$before_stage/"
        ln -f "$archive" "$before_stage/platform.zip"
        before_cmd="$build/wine-run.sh $before_stage/unzip_task_bench.exe 'X:\\{n}\\kavix'"
    fi
else
    out_reader="$runs_dir/x/reader"
    reader_cmd="$build/wine-run.sh $build/tools/bench/zip_bench.exe '$(winpath "$archive")' '$(winpath "$runs_dir")\\{n}\\reader'"
fi
out_unzip="$runs_dir/x/unzip"
unzip_cmd="unzip -q -o '$archive' -d '$runs_dir/{n}/unzip'"
untimed() { eval "${1//\{n\}/x}"; }
# The task also lists what it made, in its install folder.
diff_exclude=()
[ "$mode" = task ] && diff_exclude=(-x install.lst)
same_as_unzip() {  # <tree> <what>
    local differences
    if ! differences=$(diff -rq "${diff_exclude[@]}" "$1" "$out_unzip"); then
        echo "MISMATCH: $2 differs from unzip's" >&2
        head -5 <<<"$differences" >&2
        exit 1
    fi
}
task_ok() {  # <report> <what>
    grep -qx 'failed=0' <<<"$1" || { echo "$2 failed: $1" >&2; exit 1; }
}

# One untimed run each: the reader's own figures, peak memory, and a check that both agree.
reader_report=$(untimed "$reader_cmd" | tr -d '\r')
reader_rss=$( { /usr/bin/time -f '%M' bash -c "rm -rf '$out_reader'; ${reader_cmd//\{n\}/x}" >/dev/null; } 2>&1 | tail -1)
unzip_rss=$( { /usr/bin/time -f '%M' bash -c "${unzip_cmd//\{n\}/x}" >/dev/null; } 2>&1 | tail -1)
[ "$mode" = task ] && task_ok "$reader_report" "the task"
same_as_unzip "$out_reader" "the $mode's output"

# The sides of a round: name, command, and where an upgrade's earlier tree goes in the run's folder.
sides=("$mode" "$reader_cmd" kavix)
if [ "$mode" = task ]; then
    pin=$(sha256sum "$archive" | cut -c1-64)
    pinned_report=$(untimed "rm -rf '$out_reader'; VEXO_PAYLOAD_PIN=$pin $reader_cmd" | tr -d '\r')
    task_ok "$pinned_report" "the pinned task"
    floor_report=$(untimed "$floor_cmd" | tr -d '\r')
    grep -qx 'failures=0' <<<"$floor_report" || { echo "the floor failed: $floor_report" >&2; exit 1; }
    if [ -n "$before" ]; then
        before_report=$(untimed "rm -rf '$out_reader'; $before_cmd" | tr -d '\r')
        task_ok "$before_report" "the earlier build's task"
        same_as_unzip "$out_reader" "the earlier build's output"
        sides+=(before "$before_cmd" kavix)
    fi
    sides+=(pinned "VEXO_PAYLOAD_PIN=$pin $reader_cmd" kavix)
    [ -n "$before" ] && sides+=(before-pinned "VEXO_PAYLOAD_PIN=$pin $before_cmd" kavix)
    sides+=(floor "$floor_cmd" kavix)
    if [[ " $cases " == *" upgrade "* ]]; then
        # The earlier installation: the task's own output, its list included. Each build upgrades it
        # once untimed: the result must be unzip's tree, a file only the earlier one had must be gone
        # (the folder is replaced whole), and nothing may be left beside it.
        untimed "rm -rf '$out_reader'; $reader_cmd" >/dev/null
        cp -a "$out_reader" "$earlier"
        for side in "$mode" before; do
            [ "$side" = before ] && [ -z "$before" ] && continue
            [ "$side" = before ] && cmd=$before_cmd || cmd=$reader_cmd
            rm -rf "$out_reader"
            cp -a "$earlier" "$out_reader"
            echo earlier >"$out_reader/only-in-the-earlier.txt"
            report=$(untimed "$cmd" | tr -d '\r')
            task_ok "$report" "the $side upgrade"
            [ ! -e "$out_reader/only-in-the-earlier.txt" ] || { echo "the $side upgrade kept the earlier folder's own file" >&2; exit 1; }
            same_as_unzip "$out_reader" "the $side upgrade's output"
            left=$(find "$runs_dir/x" -maxdepth 1 -name 'kavix?*')
            [ -z "$left" ] || { echo "the $side upgrade left $left" >&2; exit 1; }
        done
    fi
fi
sides+=(unzip "$unzip_cmd" unzip)
rm -rf "$runs_dir/x"

# Paired runs, interleaved (the order alternating), so all sides see the same machine state:
# the disk's writeback and the page cache drift over a minute more than the difference measured.
# Each timed run starts with the previous run's writes flushed, so no side pays for another.
json="$cache/timings-$shape-$mode.json"
plan="$cache/rounds-$shape-$mode.json"
/usr/bin/python3 - "$plan" "$runs_dir" "$runs" "${SETTLE:-60}" "${GAP:-0}" "$earlier" "$cases" "${sides[@]}" <<'PY'
import json, sys
plan, runs_dir, runs, settle, gap, earlier, cases = sys.argv[1:8]
args = sys.argv[8:]
sides = [args[i:i + 3] for i in range(0, len(args), 3)]
phases = []
for case in cases.split():
    upgrade = case == "upgrade"
    phases.append({"name": case, "earlier_tree": earlier, "gap": float(gap) if upgrade else 0,
                   "sides": [{"name": name, "cmd": cmd, "earlier": where if upgrade else None}
                             for name, cmd, where in sides]})
json.dump({"runs_dir": runs_dir, "runs": int(runs), "settle": float(settle), "phases": phases}, open(plan, "w"))
PY
/usr/bin/python3 "$src/tools/bench/rounds.py" "$plan" "$json.rounds"

read -r entries bytes < <(/usr/bin/python3 -c "import sys, zipfile
infos = zipfile.ZipFile(sys.argv[1]).infolist()
print(len(infos), sum(i.file_size for i in infos))" "$archive")
python3 - "$json" "$bytes" "$reader_rss" "$unzip_rss" "$reader_report" "$mode" "$entries" "$runs" "$shape" <<'PY'
import json, os, statistics, sys
rounds = json.load(open(sys.argv[1] + ".rounds"))
size = int(sys.argv[2])
reader_rss, unzip_rss = int(sys.argv[3]), int(sys.argv[4])
own = dict(line.split("=", 1) for line in sys.argv[5].split() if "=" in line)
mode, entries, runs, shape = sys.argv[6], int(sys.argv[7]), sys.argv[8], sys.argv[9]
# Native unzip is the mark for the payload; with tens of thousands of names in a folder Wine's own
# cost dominates, and only the floor (a Windows program under the same Wine) is.
unzip_target = " (target <= 1.00)" if shape == "payload" else ""
median, mean = statistics.median, statistics.mean
MiB = 1024

def paired(a, b):  # median of the rounds' a/b
    return median(x / y for x, y in zip(a["times"], b["times"]))

def saved(a, b):  # median of the rounds' a - b
    return median(x - y for x, y in zip(a["times"], b["times"]))

def line(name, res, memory):
    t = res["times"]
    return (f"{name:42s} {mean(t):.3f} s  (min {min(t):.3f}, sd {statistics.pstdev(t):.3f})  "
            f"{size / 1e6 / mean(t):.0f} MB/s  {entries / mean(t):.0f} entries/s  {memory}")

# The format payload-check.sh and earlier readers of this file know: the first phase's times.
first = next(iter(rounds.values()))
results = [{"command": n, "mean": mean(r["times"]), "min": min(r["times"]), "stddev": statistics.pstdev(r["times"]),
            "times": r["times"]} for n, r in first.items()]
ratios = {n: paired(r, first["unzip"]) for n, r in first.items() if n != "unzip"}
if "floor" in first:
    ratios["over_floor"] = paired(first[mode], first["floor"])
json.dump({"results": results, "pair_ratio_median": ratios[mode], "ratios": ratios,
           "pinned_over_task": median([p - t for p, t in zip(first.get("pinned", {}).get("times", []),
                                                              first[mode]["times"])] or [0]),
           "phases": rounds}, open(sys.argv[1], "w"))

print()
# Other work on the machine stretches every side: say how much there was.
print(f"archive: {entries} entries, {size / 1e6:.0f} MB uncompressed; {runs} rounds, interleaved; load average "
      f"at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1, 5, 15 min)")
if mode != "task":
    r, u = first[mode], first["unzip"]
    print(line("reader (Wine, whole process)", r, f"max RSS {reader_rss / MiB:.1f} MiB"))
    print(line("unzip (native)", u, f"max RSS {unzip_rss / MiB:.1f} MiB"))
    seconds = float(own["seconds"])
    cpu = f" ({float(own['cpu_seconds']):.3f} s of its own CPU)" if "cpu_seconds" in own else ""
    print(f"reader inside the process:{'':9s}{seconds:.3f} s{cpu}  {size / 1e6 / seconds:.1f} MB/s  "
          f"peak working set {int(own['peak_working_set_kib']) / MiB:.1f} MiB, "
          f"peak pagefile {int(own['peak_pagefile_kib']) / MiB:.1f} MiB")
    print(f"time ratio reader/unzip: {mean(r['times']) / mean(u['times']):.2f} of the means, "
          f"{ratios[mode]:.2f} median of the pairs (target <= 1.00)")
    print(f"peak working set under 32 MiB: {'yes' if int(own['peak_working_set_kib']) < 32 * MiB else 'NO'}")
    sys.exit(0)

tasks = [("task", "unzip task"), ("pinned", "unzip task, payload pinned"),
         ("before", "before: unzip task"), ("before-pinned", "before: unzip task, payload pinned")]
headings = {"fresh": "fresh install (nothing in the install folder)",
            "upgrade": "upgrade (the same payload installed before, replaced)"}
for case, sides in rounds.items():
    print(f"\n{headings[case]}:")
    for name, label in tasks:
        if name in sides:
            r = sides[name]
            print(line(label + " (Wine)", r, f"peak working set {r['peak_ws_kib'] / MiB:.1f} MiB (target < 32)"))
    print(line("unzip (native)" + (", over the tree" if case == "upgrade" else ""), sides["unzip"],
               f"max RSS {unzip_rss / MiB:.1f} MiB"))
    print(line("creating the same files (Wine)", sides["floor"], ""))
    for name, label in tasks:
        if name in sides:
            r = sides[name]
            print(f"{case}, {label}: {paired(r, sides['unzip']):.2f} of unzip{unzip_target}, "
                  f"{paired(r, sides['floor']):.2f} of the floor (target <= 1.00), median of the pairs; "
                  f"{mean(r['inside']):.3f} s in the task")

print("\nsummary:")
def growth(f, u, fl, ul, label):
    return (f"{label} {mean(u['times']) - mean(f['times']):+.3f} s, {mean(u['times']) / mean(f['times']):.2f}x of the means "
            f"({mean(u['inside']) - mean(f['inside']):+.3f} s in the task), over the floor {paired(u, ul):.2f} "
            f"against {paired(f, fl):.2f}")

def moments(r):  # the swap's stretches in each run, medians: until whole, to aside, to in place, to the end
    own = r["own"]
    if "whole_seconds" not in own or "in_place_seconds" not in own:
        return None
    aside = own.get("aside_seconds", own["whole_seconds"])
    # The earlier folder is removed in the background: its end, where the task saw it.
    removed = own.get("removed_seconds", r["inside"])
    cuts = list(zip(own["whole_seconds"], aside, own["in_place_seconds"], removed))
    return [median(c[0] for c in cuts), median(c[1] - c[0] for c in cuts), median(c[2] - c[1] for c in cuts),
            median(c[3] - c[2] for c in cuts)]

if len(rounds) == 2:
    fresh, upgrade = rounds["fresh"], rounds["upgrade"]
    for names, what in ((("task", "pinned"), "the swap: two renames, the held-file scan, removing the earlier folder"),
                        (("before", "before-pinned"), "before: the earlier installation removed first")):
        if names[0] in fresh:
            print(f"upgrade against fresh ({what}): " + "; ".join(
                growth(fresh[n], upgrade[n], fresh["floor"], upgrade["floor"], "pinned" if "pinned" in n else "unpinned")
                for n in names))
    for name in ("task", "pinned"):
        up, fr = moments(upgrade[name]), moments(fresh[name])
        if up and fr:
            print(f"where the upgrade's time goes, {'pinned' if name == 'pinned' else 'unpinned'} (in the task, medians): "
                  f"extracted beside {up[0]:.3f} s, services and processes ended + held-file scan + earlier folder aside "
                  f"{up[1]:.3f} s, new folder in place {up[2]:.3f} s, earlier folder removed (in the background, while "
                  f"the installation goes on) {up[3]:.3f} s "
                  f"(fresh: extracted beside {fr[0]:.3f} s, services and processes ended + in place {fr[1] + fr[2]:.3f} s, "
                  f"the rest {fr[3]:.3f} s)")
for case, sides in rounds.items():
    for after, before in (("task", "before"), ("pinned", "before-pinned")):
        if before in sides:
            print(f"before/after, {case}, {'pinned' if after == 'pinned' else 'unpinned'}: "
                  f"{paired(sides[before], sides[after]):.2f} "
                  f"median of the pairs, after saves {saved(sides[before], sides[after]):+.3f} s (median of the rounds)")
for case, sides in rounds.items():
    print(f"targets, {case}: "
          + (f"payload at most 1.00x unzip: unpinned {paired(sides['task'], sides['unzip']):.2f}, "
             f"pinned {paired(sides['pinned'], sides['unzip']):.2f}; " if unzip_target else "")
          + "at most 1.00x the floor: "
          + ", ".join(f"{n} {paired(r, sides['floor']):.2f}" for n, r in sides.items() if n not in ("unzip", "floor"))
          + "; peak working set under 32 MiB: "
          + ", ".join(f"{n} {r['peak_ws_kib'] / MiB:.1f}" for n, r in sides.items() if r["peak_ws_kib"]))
PY
