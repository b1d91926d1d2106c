#!/usr/bin/env bash
# A whole installation under Wine, in the build tree's "run" prefix (32-bit Windows 7):
# the installer staged in <build>/stage beside installer.ini, res.zip and the sample platform.zip,
# a local statistics server (127.0.0.1:10081) that prints each report as it arrives, and a local
# download server (127.0.0.1:80 and :10080) that serves a stand-in .NET service pack the first
# time the prefix needs one.
# With DISPLAY set the window opens on that display and waits for you to press install. Without
# one it runs on a virtual display, presses install itself with real clicks and saves
# screenshots. Either way it ends with a summary of what the installation left behind.
#
#   bash tools/run-installer.sh <build-dir>
#   PAYLOAD_ZIP=<archive> to install another platform.zip than the sample one (make run PAYLOAD_ZIP=...)
#   ARGS="<command line>" for the installer (make run ARGS="/S /D=C:\Vexo Apps\kavix"); with /S it
#   installs unattended, without a display, and the summary gives its exit code.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
stage="$build/stage"
shots="$build/screenshots"
reports="$build/run-reports"
downloads="$build/run-downloads"
rm -rf "$stage"
mkdir -p "$stage" "$shots" "$reports"
cp "$build/src/VexoInstaller.exe" "$build/res.zip" "$stage/"
cp "${PAYLOAD_ZIP:-$build/platform.zip}" "$stage/platform.zip"
printf '[Platform]\r\nversion=1.0.6.30\r\nbuild=kavix2015083012_build\r\nengine=0.9.8.4114\r\n' >"$stage/installer.ini"

cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
stats_host=$(cached VEXO_STATS_HOST)
download_host=$(cached VEXO_DOWNLOAD_HOST)
export VEXO_BUILD_DIR="$build" VEXO_PREFIX=run

: >"$reports/reports.jsonl"
/usr/bin/python3 "$src/tools/stats-server/stats_server.py" --host "$stats_host" --port 10081 \
    --log "$reports/reports.jsonl" &
stats_server=$!
/usr/bin/python3 "$src/tools/download-server/download_server.py" start "$downloads" "$download_host" "$stats_host"
# The service pack stand-in records the .NET 2.0 service pack as installed, as the real one would.
# VEXO_DOWNLOAD_RATE=<bytes a second> slows it down, so the download's progress can be watched.
echo "/others/dotnet/sp2.exe file $build/tests/prereq/netfx_sp2_standin.exe${VEXO_DOWNLOAD_RATE:+ rate=$VEXO_DOWNLOAD_RATE}" \
    >"$downloads/routes"
compositor=
session=
cleanup() {
    [ -n "$compositor" ] && kill "$compositor" 2>/dev/null
    [ -n "$session" ] && "$src/tools/wine/wine-session.sh" stop
    /usr/bin/python3 "$src/tools/download-server/download_server.py" stop "$downloads"
    kill "$stats_server" 2>/dev/null || true
}
trap cleanup EXIT

summary() {
    bash "$src/tools/run-summary.sh" "$stage" "$1" "$reports/reports.jsonl" "${2:-}"
    echo "downloads:       $(cut -d' ' -f3 "$downloads/requests" | tr '\n' ' ')"
}

# Unquoted on purpose: the words are joined again into the command line as it was typed, where
# /D= takes the rest of the line, blanks and all.
args=${ARGS:-}
if [[ " $args " == *" /S "* || " $args " == *" /s "* ]]; then
    session=1
    "$src/tools/wine/wine-session.sh" start
    . "$src/tools/wine/wine-env.sh"
    started=$(date +%s.%N)
    set +e
    # shellcheck disable=SC2086
    (cd "$stage" && wine "$stage/VexoInstaller.exe" $args)
    code=$?
    set -e
    awk -v a="$started" -v b="$(date +%s.%N)" \
        'BEGIN { printf "run: the unattended installation took %.1f s\n", b - a }'
    summary "$code"
    exit 0
fi

if [ -n "${DISPLAY:-}" ]; then
    . "$src/tools/wine/wine-env.sh"
    vexo_wine_prefix_ready || vexo_wine_prefix_create
    set +e
    # shellcheck disable=SC2086
    (cd "$stage" && wine "$stage/VexoInstaller.exe" $args)
    code=$?
    set -e
    summary "$code"
    exit 0
fi

session=1
"$src/tools/wine/wine-session.sh" start
. "$src/tools/wine/wine-env.sh"
# A compositor, so the window's layered drop shadow is blended as on Windows.
xcompmgr </dev/null >/dev/null 2>&1 &
compositor=$!

# Control rectangles from the skin itself, so the clicks land where the buttons are drawn (at the
# window's scale: $dpi).
dpi=96
control_centre() {
    /usr/bin/python3 - "$build/res.zip" "$1" "$dpi" <<'PY'
import sys, zipfile, xml.etree.ElementTree as ET
root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read("MainFrame.xml"))
dpi = int(sys.argv[3])
for el in root.iter():
    if el.get("name") == sys.argv[2]:
        l, t, r, b = (int(v) * dpi // 96 for v in el.get("pos").split(","))
        print((l + r) // 2, (t + b) // 2)
        break
PY
}
click() {
    read -r cx cy <<<"$(control_centre "$1")"
    xdotool mousemove --window "$wid" "$cx" "$cy" click 1
}
find_window() {
    wid=
    for _ in $(seq 100); do
        wid=$(xdotool search --onlyvisible --name 'Vexo' 2>/dev/null | head -n 1) && [ -n "$wid" ] && break
        sleep 0.2
    done
    [ -n "$wid" ]
}
# Windows keeps the user's scale here; Wine reads it when a program starts.
set_scale() {
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}
shot() {
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    # A margin around the window shows its shadow.
    import -window root -crop "$((WIDTH + 24))x$((HEIGHT + 24))+$((X - 12))+$((Y - 12))" +repage "$shots/$1"
    echo "saved $shots/$1"
}

# First the window at 150 %: its start and custom-panel screens, then closed (the close button's
# question answered with Enter) before the installation at 100 %.
dpi=144
set_scale "$dpi"
trap 'set_scale 96; cleanup' EXIT
(cd "$stage" && exec wine "$stage/VexoInstaller.exe") &
pid=$!
if find_window; then
    sleep 1
    # Dragged up by its caption, as a user would, to leave room below for the panel.
    xdotool mousemove --window "$wid" 450 30 mousedown 1
    xdotool mousemove_relative --sync -- -20 -60 mouseup 1
    sleep 0.5
    shot run-start-screen-150.png
    click BtnCustomInstall
    sleep 0.7
    shot run-custom-panel-150.png
    click BtnClose
    sleep 1
    xdotool key Return
fi
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
dpi=96
set_scale "$dpi"

# shellcheck disable=SC2086
(cd "$stage" && exec wine "$stage/VexoInstaller.exe" $args) &
pid=$!
find_window || { echo "run: the installer window did not appear" >&2; kill "$pid" 2>/dev/null; exit 1; }
sleep 1
shot run-start-screen.png
click BtnCustomInstall
sleep 0.7
shot run-custom-panel.png
started=$(date +%s.%N)
click BtnInstall
sleep 0.4
shot run-progress-screen.png 2>/dev/null || true  # the sample payload may finish first
set +e
wait "$pid"
code=$?
set -e
awk -v a="$started" -v b="$(date +%s.%N)" \
    'BEGIN { printf "run: the installation took %.1f s from the click to the end of the installer\n", b - a }'
summary "$code" "$shots"
