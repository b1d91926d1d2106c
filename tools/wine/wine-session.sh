#!/usr/bin/env bash
# start: create the prefix if needed, start a virtual display when there is none,
#        and keep one wineserver alive for the whole test run.
# stop:  stop that wineserver and the display this script started (by pid only).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-env.sh"

xvfb_pid_file="$VEXO_WINE_DIR/xvfb.pid"
xvfb_display_file="$VEXO_WINE_DIR/xvfb.display"

start_xvfb() {
    [ -n "${DISPLAY:-}" ] && return 0
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
        local pid=$!
        for _ in $(seq 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
            echo "$pid" >"$xvfb_pid_file"
            echo ":$n" >"$xvfb_display_file"
            export DISPLAY=":$n"
            return 0
        fi
    done
    echo "wine-session: no virtual display could be started" >&2
    return 1
}

case "${1:-}" in
start)
    mkdir -p "$VEXO_WINE_DIR"
    start_xvfb
    vexo_wine_prefix_ready || vexo_wine_prefix_create
    # Output closed: the server detaches and must not hold the test runner's pipes open.
    wineserver -p </dev/null >/dev/null 2>&1 || true  # already running is fine
    # Wine's own services start with the first program and live as long as the server;
    # start them here with closed output so they never hold a test's output pipe.
    wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
    if [ -f "$xvfb_pid_file" ]; then
        # No window manager on the virtual display: without this Wine waits ~2 s for one
        # whenever a managed window is hidden or destroyed.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
    fi
    ;;
stop)
    wineserver -k 2>/dev/null || true
    if [ -f "$xvfb_pid_file" ]; then
        kill "$(cat "$xvfb_pid_file")" 2>/dev/null || true
        rm -f "$xvfb_pid_file" "$xvfb_display_file"
    fi
    ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
