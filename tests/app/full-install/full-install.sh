#!/usr/bin/env bash
# Whole installations through the real window, each group of scenarios in a Wine prefix made fresh
# for it, with a virtual display and a home folder of its own (the desktop shortcut lands there).
#
#   full-install.sh start GROUP ARCH VERSION   make the prefix, start its display and wineserver
#   full-install.sh stop GROUP                 stop them; delete the prefix unless VEXO_KEEP_PREFIXES is set
#   full-install.sh run GROUP SCENARIO         run the driver's test FullInstall.SCENARIO in it
#
# Environment: VEXO_BUILD_DIR, VEXO_DRIVER (the driver exe) and the driver's own variables;
# for the scenarios that use the download server VEXO_DOWNLOAD_SERVER (its script),
# VEXO_NETFX_SERVER (its folder) and VEXO_INSTALLER_STANDIN.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -ge 2 ] || { echo "usage: $0 start GROUP ARCH VERSION | stop GROUP | run GROUP SCENARIO" >&2; exit 2; }
command=$1 group=$2
export VEXO_PREFIX=full_install_$group VEXO_WINEARCH=${3:-win32} VEXO_WINVER=${4:-win7}
session="$VEXO_BUILD_DIR/wine/$VEXO_PREFIX.session"
# Set before wine-env.sh, which otherwise takes the shared session's display.
[ -f "$session/display" ] && export DISPLAY=":$(cat "$session/display")"
. "$here/../../../tools/wine/wine-env.sh"
export HOME="$session/home"

stop_group() {
    if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
    local pid
    pid=$(cat "$session/xvfb.pid" 2>/dev/null || echo 0)
    if [ "$pid" != 0 ] && grep -q Xvfb "/proc/$pid/cmdline" 2>/dev/null; then kill "$pid"; fi
    rm -f "$session/xvfb.pid" "$session/display"
    if [ -z "${VEXO_KEEP_PREFIXES:-}" ]; then rm -rf "$WINEPREFIX" "$session"; fi
}

case "$command" in
start)
    stop_group  # whatever an interrupted run left
    rm -rf "$WINEPREFIX" "$session"
    mkdir -p "$session" "$HOME"
    # The scaling group's window is 1360 x 960 at 200 %: the whole of it on the screen.
    screen=1280x800x24
    [ "$group" = dpi ] && screen=1920x1200x24
    # Xvfb picks a free display and names it on fd 3 once it accepts clients.
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$session/display" </dev/null >/dev/null 2>&1 &
    echo $! >"$session/xvfb.pid"
    for _ in $(seq 100); do [ -s "$session/display" ] && break; sleep 0.1; done
    [ -s "$session/display" ] || { echo "full-install: no virtual display" >&2; exit 1; }
    DISPLAY=":$(cat "$session/display")"
    export DISPLAY
    vexo_wine_prefix_create
    # Output closed: the server detaches and must not hold the test runner's pipes open.
    wineserver -p </dev/null >/dev/null 2>&1
    # No window manager: Wine would wait for one whenever a managed window is hidden.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    ;;
stop)
    stop_group
    ;;
run)
    scenario=$3
    [ -s "$session/display" ] || { echo "full-install: prefix $VEXO_PREFIX is not started" >&2; exit 1; }
    server=${VEXO_NETFX_SERVER:-}
    case "$scenario" in
    NetFx35FromTheVersionServer)
        printf '/dotnet/ver.php file %s\n' "$VEXO_INSTALLER_STANDIN" >"$server/routes"
        trap ': >"$server/routes"' EXIT
        ;;
    DamagedUpgrade)
        export VEXO_DAMAGED_PAYLOADS="$session/damaged"
        /usr/bin/python3 "$here/make_damaged_payloads.py" "$VEXO_SKIN_DIR/platform.zip" "$VEXO_DAMAGED_PAYLOADS"
        ;;
    PinnedRelease)
        # Pinned as make dist pins a release, with this run's marker in its settings; beside it a
        # whole payload of other content, packed by the packer.
        export VEXO_RUN_MARKER="full-install-pinned-$$" VEXO_PINNED_RELEASE="$session/pinned"
        rm -rf "$VEXO_PINNED_RELEASE" "$session/other-tree"
        mkdir -p "$VEXO_PINNED_RELEASE"
        cp "$VEXO_INSTALLER" "$VEXO_PINNED_RELEASE/VexoInstaller.exe"
        cp "$VEXO_SKIN_DIR/res.zip" "$VEXO_SKIN_DIR/platform.zip" "$VEXO_PINNED_RELEASE/"
        printf '[Platform]\r\nbuild=%s\r\nversion=1.0.6.30\r\nengine=0.9.8.4114\r\n' "$VEXO_RUN_MARKER" \
            >"$VEXO_PINNED_RELEASE/installer.ini"
        /usr/bin/python3 "$here/../../../tools/dist/pin-release.py" "$VEXO_PINNED_RELEASE/VexoInstaller.exe" \
            "$VEXO_PINNED_RELEASE" >/dev/null
        cp -r "$VEXO_PAYLOAD_TREE" "$session/other-tree"
        printf 'other' >>"$session/other-tree/readme.txt"
        /usr/bin/python3 "$here/../../../tools/packer/pack_payload.py" pack "$session/other-tree" \
            "$VEXO_PINNED_RELEASE/other-content.zip" >/dev/null
        ;;
    DownloadRefused)
        /usr/bin/python3 "$VEXO_DOWNLOAD_SERVER" close "$server"
        trap '/usr/bin/python3 "$VEXO_DOWNLOAD_SERVER" reopen "$server"' EXIT
        ;;
    esac
    # Into a file: a program the installer started must not keep CTest waiting on our output.
    out="$session/$scenario.out"
    set +e
    wine "$VEXO_DRIVER" --gtest_filter="FullInstall.$scenario" --gtest_color=no </dev/null >"$out" 2>&1
    code=$?
    set -e
    tr -d '\r' <"$out"
    # A filter that matched nothing would pass. Not anchored: Wine may print a line of its own (a
    # child's "wine client error" as it ends) without a line break, in front of gtest's.
    grep -q "\[       OK \] FullInstall\.$scenario " "$out" || code=1
    exit "$code"
    ;;
*)
    echo "$0: unknown command '$command'" >&2
    exit 2
    ;;
esac
