#!/usr/bin/env bash
# Stages the installer beside its skin and the sample payload, and runs it under Wine in the build tree's "run" prefix.
# With DISPLAY set it opens on that display and waits for you. Without one it runs on a virtual
# display, presses its buttons itself with real clicks, and saves screenshots.
# A local statistics server on 127.0.0.1:10081 prints each report as it arrives.
#
#   bash tools/run-installer.sh <build-dir>
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
stage="$build/stage"
shots="$build/screenshots"
mkdir -p "$stage" "$shots"
cp "$build/src/VexoInstaller.exe" "$build/res.zip" "$build/platform.zip" "$stage/"

export VEXO_BUILD_DIR="$build" VEXO_PREFIX=run
reports="$build/run-reports"
mkdir -p "$reports"
: >"$reports/reports.jsonl"
/usr/bin/python3 "$src/tools/stats-server/stats_server.py" --port 10081 --log "$reports/reports.jsonl" \
    --pid-file "$reports/server.pid" &
stats_server=$!
stop_stats_server() { kill "$stats_server" 2>/dev/null || true; }
trap stop_stats_server EXIT

summary() {
    echo
    echo "installer:   $stage/VexoInstaller.exe (exit code $1)"
    echo "log:         $stage/tmp.log"
    echo "reports:     $(/usr/bin/python3 "$src/tools/stats-server/stats_server.py" --summarize "$reports/reports.jsonl")"
    [ -n "${2:-}" ] && echo "screenshots: $2"
    return 0
}

if [ -n "${DISPLAY:-}" ]; then
    . "$src/tools/wine/wine-env.sh"
    vexo_wine_prefix_ready || vexo_wine_prefix_create
    set +e
    wine "$stage/VexoInstaller.exe"
    code=$?
    set -e
    summary "$code"
    exit 0
fi

"$src/tools/wine/wine-session.sh" start
. "$src/tools/wine/wine-env.sh"
# A compositor, so the window's layered drop shadow is blended as on Windows.
xcompmgr </dev/null >/dev/null 2>&1 &
compositor=$!
trap 'kill "$compositor" 2>/dev/null; "$src/tools/wine/wine-session.sh" stop; stop_stats_server' EXIT

# Control rectangles from the skin itself, so the clicks land where the buttons are drawn.
control_centre() {
    /usr/bin/python3 - "$build/res.zip" "$1" <<'PY'
import sys, zipfile, xml.etree.ElementTree as ET
root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read("MainFrame.xml"))
for el in root.iter():
    if el.get("name") == sys.argv[2]:
        l, t, r, b = (int(v) for v in el.get("pos").split(","))
        print((l + r) // 2, (t + b) // 2)
        break
PY
}
click() {
    read -r cx cy <<<"$(control_centre "$1")"
    xdotool mousemove --window "$wid" "$cx" "$cy" click 1
}
shot() {
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    # A margin around the window shows its shadow.
    import -window root -crop "$((WIDTH + 24))x$((HEIGHT + 24))+$((X - 12))+$((Y - 12))" +repage "$shots/$1"
    echo "saved $shots/$1"
}

wine "$stage/VexoInstaller.exe" &
pid=$!
wid=
for _ in $(seq 100); do
    wid=$(xdotool search --onlyvisible --name 'Vexo' 2>/dev/null | head -n 1) && [ -n "$wid" ] && break
    sleep 0.2
done
[ -n "$wid" ] || { echo "run: the installer window did not appear" >&2; kill "$pid" 2>/dev/null; exit 1; }
sleep 1
shot run-start-screen.png
click BtnCustomInstall
sleep 0.7
shot run-custom-panel.png
click BtnInstall
sleep 0.4
shot run-progress-screen.png 2>/dev/null || true  # the sample payload may finish first
set +e
wait "$pid"
code=$?
set -e
summary "$code" "$shots"
