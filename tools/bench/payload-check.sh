#!/usr/bin/env bash
# The payload check before an upgrade's cleanup, on the 400 MB benchmark payload (cached in
# <build>/bench): its time over a few runs, to set beside the task's.
#   bash tools/bench/payload-check.sh <build-dir>      RUNS=5 SEED=1 SHAPE=payload|names
# Single-threaded and on every core, the runs interleaved.
set -euo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
seed=${SEED:-1}
runs=${RUNS:-5}
. "$src/tools/bench/bench-lib.sh"
archive=$(bench_archive "$build" "${SHAPE:-payload}" "$seed")
cmake --build "$build" --target payload_check_bench >/dev/null
export VEXO_BUILD_DIR="$build"
"$src/tools/wine/wine-session.sh" start
trap '"$src/tools/wine/wine-session.sh" stop' EXIT
winpath() { printf 'Z:%s' "${1//\//\\}"; }
declare -A times=([1]="" [0]="")
for k in $(seq 0 "$runs"); do
    for threads in 1 0; do
        report=$("$build/wine-run.sh" "$build/tools/bench/payload_check_bench.exe" "$(winpath "$archive")" 'X:\kavix' "$threads" | tr -d '\r')
        grep -q '^whole=1' <<<"$report" || { echo "the benchmark payload did not pass: $report" >&2; exit 1; }
        [ "$k" -eq 0 ] && { first=$report; continue; }  # warms the page cache, not counted
        times[$threads]+="$(sed -n 's/^seconds=//p' <<<"$report") "
    done
done
mean() { tr ' ' '\n' <<<"$1" | awk 'NF { s += $1; n++ } END { printf "%.3f", s / n }'; }
printf 'payload check, %s (%s runs, %s cores): one thread %s s; every core %s s (each: %s)\n' "$(basename "$archive")" \
    "$runs" "$(nproc)" "$(mean "${times[1]}")" "$(mean "${times[0]}")" "${times[0]}"
# Its share of the unzip task, when zip-extract.sh (MODE=task) has timed the task on this archive.
task_json="$build/bench/timings-${SHAPE:-payload}-task.json"
if [ -f "$task_json" ]; then
    /usr/bin/python3 - "$task_json" "$(mean "${times[0]}")" <<'PY'
import json, sys
task = next(r for r in json.load(open(sys.argv[1]))["results"] if r["command"] == "task")["mean"]
check = float(sys.argv[2])
print(f"the check on every core is {100 * check / task:.1f} % of the unzip task ({task:.3f} s) (target <= 10 %)")
PY
fi
grep -i 'peak\|working' <<<"$first" || true
