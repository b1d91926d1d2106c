#!/usr/bin/env bash
# Idle CPU of the installer window on its progress screen (50 ms highlight timer and 2 s slide
# timer running), on a virtual display: the Windows process itself, and the X server it draws on.
#
#   bash tools/bench/window-idle-cpu.sh <build-dir> [seconds]
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [seconds]" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
seconds=${2:-20}

cmake -S "$src" -B "$build" >/dev/null
cmake --build "$build" --target window_idle skin >/dev/null

export VEXO_BUILD_DIR="$build"
unset DISPLAY
"$src/tools/wine/wine-session.sh" start
trap '"$src/tools/wine/wine-session.sh" stop' EXIT

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
xvfb=$(cat "$build/wine/xvfb.pid")

out=$(mktemp)
"$build/wine-run.sh" "$build/tools/bench/window_idle.exe" "$((seconds + 2))" "Z:${build//\//\\}" >"$out" &
pid=$!
sleep 3  # the program's own settling time, plus Wine's start
x0=$(ticks "$xvfb")
sleep "$seconds"
x1=$(ticks "$xvfb")
wait "$pid"
report=$(tr -d '\r' <"$out")
rm -f "$out"
echo "$report"
xcpu=$(awk -v a="$x0" -v b="$x1" -v hz="$hz" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * (b - a) / hz / s }')
echo "x_server_cpu_percent=$xcpu (over ${seconds} s)"
echo "target: the window process below 2 % of one core"
