#!/usr/bin/env bash
# Extraction benchmark: the installer's zip reader (Windows program under Wine) against
# Info-ZIP unzip (native) on the same generated archive.
#
#   bash tools/bench/zip-extract.sh <build-dir>
#   SEED=<n> RUNS=<n> to change the archive or the number of timed runs.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
seed=${SEED:-1}
runs=${RUNS:-5}

cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" --target zip_bench >/dev/null
bench_exe="$build/tools/bench/zip_bench.exe"

cache="$build/bench"
mkdir -p "$cache"
archive="$cache/payload-seed$seed.zip"
if [ ! -f "$archive" ]; then
    echo "generating $archive (seed $seed) ..."
    python3 "$src/tools/bench/make_bench_zip.py" --seed "$seed" --out "$archive.tmp"
    mv "$archive.tmp" "$archive"
fi
out_reader="$cache/out-reader"
out_unzip="$cache/out-unzip"
winpath() { printf 'Z:%s' "${1//\//\\}"; }

export VEXO_BUILD_DIR="$build"
"$src/tools/wine/wine-session.sh" start
# The extracted trees (about 0.8 GB) go; the generated archive stays cached for the next run.
trap '"$src/tools/wine/wine-session.sh" stop; rm -rf "$out_reader" "$out_unzip"' EXIT

reader_cmd="$build/wine-run.sh $bench_exe '$(winpath "$archive")' '$(winpath "$out_reader")'"
unzip_cmd="unzip -q -o '$archive' -d '$out_unzip'"

# One untimed run each: the reader's own figures, peak memory, and a check that both agree.
rm -rf "$out_reader" "$out_unzip"
reader_report=$(eval "$reader_cmd" | tr -d '\r')
reader_rss=$( { /usr/bin/time -f '%M' bash -c "rm -rf '$out_reader'; $reader_cmd" >/dev/null; } 2>&1 | tail -1)
unzip_rss=$( { /usr/bin/time -f '%M' bash -c "$unzip_cmd" >/dev/null; } 2>&1 | tail -1)
if ! diff -rq "$out_reader" "$out_unzip" >/dev/null; then
    echo "MISMATCH: the reader's output differs from unzip's" >&2
    exit 1
fi

json="$cache/hyperfine.json"
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$json" \
    --prepare "rm -rf '$out_reader'" -n reader "$reader_cmd" \
    --prepare "rm -rf '$out_unzip'" -n unzip "$unzip_cmd"

bytes=$(sed -n 's/^bytes=//p' <<<"$reader_report")
python3 - "$json" "$bytes" "$reader_rss" "$unzip_rss" "$reader_report" <<'PY'
import json, sys
data = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
size = int(sys.argv[2])
reader_rss, unzip_rss = int(sys.argv[3]), int(sys.argv[4])
own = dict(line.split("=", 1) for line in sys.argv[5].split() if "=" in line)
r, u = data["reader"], data["unzip"]
print()
print(f"archive: {own['entries']} entries, {size / 1e6:.0f} MB uncompressed")
for name, res, rss in (("reader (Wine, whole process)", r, reader_rss), ("unzip (native)", u, unzip_rss)):
    print(f"{name:30s} {res['mean']:.3f} s  (min {res['min']:.3f}, sd {res['stddev']:.3f})  "
          f"{size / 1e6 / res['mean']:.0f} MB/s  max RSS {rss / 1024:.1f} MiB")
print(f"reader inside the process:     {float(own['seconds']):.3f} s  {own['mb_per_s']} MB/s  "
      f"peak working set {int(own['peak_working_set_kib']) / 1024:.1f} MiB, "
      f"peak pagefile {int(own['peak_pagefile_kib']) / 1024:.1f} MiB")
ratio = r["mean"] / u["mean"]
print(f"time ratio reader/unzip: {ratio:.2f} (target <= 1.10)")
print(f"peak working set under 32 MiB: {'yes' if int(own['peak_working_set_kib']) < 32 * 1024 else 'NO'}")
PY
