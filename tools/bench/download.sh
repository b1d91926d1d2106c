#!/usr/bin/env bash
# The prerequisite downloader against `curl -o` on a 100 MB file from the loopback download
# server (unthrottled): time and peak memory; then the downloader with the connection reset every
# 10 MB: time and the bytes the server sent over the file's size (what resuming costs).
#   bash tools/bench/download.sh <build-dir>      SIZE_MB=100 DROP_MB=10
# It uses the build's download and version hosts: not while the tests' download server runs.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
size_mb=${SIZE_MB:-100}
drop_mb=${DROP_MB:-10}
cmake --build "$build" --target download_bench >/dev/null
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
host=$(cached VEXO_STATS_HOST)
server="$build/bench/download-server"
out="$build/bench/download-out"
mkdir -p "$server" "$out"
file="$build/bench/download-$size_mb.bin"
if [ ! -f "$file" ]; then
    { printf MZ; head -c $((size_mb * 1048576 - 2)) /dev/urandom; } >"$file.tmp"
    mv "$file.tmp" "$file"
fi
size=$(stat -c %s "$file")

export VEXO_BUILD_DIR="$build"
python3 "$src/tools/download-server/download_server.py" start "$server" "$(cached VEXO_DOWNLOAD_HOST)" "$host"
"$src/tools/wine/wine-session.sh" start
trap '"$src/tools/wine/wine-session.sh" stop; python3 "$src/tools/download-server/download_server.py" stop "$server"' EXIT
printf '/plain.exe file %s\n/drops.exe file %s drop=%d\n' "$file" "$file" $((drop_mb * 1048576)) >"$server/routes"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
sent() { awk -v p="$1" '$1 == p { s += $2 } END { print s + 0 }' "$server/sent"; }

# Seconds and peak resident KiB of a command (its children included: Wine's process tree).
measure() {
    python3 - "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode
print("%.3f %d %d" % (time.monotonic() - start, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, code))
PY
}

bench() {  # name route: one row
    local name=$1 route=$2 report target="$out${2%.exe}-bench.exe"
    rm -f "$target"
    report=$("$build/wine-run.sh" "$build/tools/bench/download_bench.exe" "http://$host:10080$route" \
        "$(winpath "$target")" | tr -d '\r')
    grep -q '^ok=1' <<<"$report" || { echo "the download failed: $report" >&2; exit 1; }
    cmp -s "$file" "$target" || { echo "the downloaded file differs" >&2; exit 1; }
    printf '%-28s %8s s %10s KiB %8s\n' "$name" "$(sed -n 's/^seconds=//p' <<<"$report")" \
        "$(sed -n 's/^peak_working_set_kib=//p' <<<"$report")" \
        "$(awk -v s="$(sent "$route")" -v f="$size" 'BEGIN { printf "%.3f", s / f }')"
}

"$build/wine-run.sh" "$build/tools/bench/download_bench.exe" >/dev/null 2>&1 || true  # Wine's start, not counted
printf '%s MB from %s, %s\n' "$size_mb" "$host" "$(date -u +%F)"
printf '%-28s %10s %14s %8s\n' "" "time" "peak memory" "sent/size"
bench "downloader" /plain.exe
read -r seconds peak code < <(measure curl -s -o "$out/curl.exe" "http://$host:10080/plain.exe")
[ "$code" -eq 0 ] && cmp -s "$file" "$out/curl.exe" || { echo "curl failed" >&2; exit 1; }
printf '%-28s %8s s %10s KiB %8s\n' "curl -o (Linux)" "$seconds" "$peak" "-"
bench "downloader, reset /${drop_mb} MB" /drops.exe
rm -f "$out"/*.exe
