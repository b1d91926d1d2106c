#!/usr/bin/env bash
# start: run the local statistics server in the background on a loopback address, logging every
#        report to <dir>/reports.jsonl and <dir>/requests/, and wait until it listens.
# stop:  stop the server this script started (by its pid file only).
#
#   stats-server.sh start|stop <dir> [host [port]]     (default 127.0.0.1 10081)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ $# -ge 2 ] || { echo "usage: $0 start|stop <dir> [host [port]]" >&2; exit 2; }
dir=$2
host=${3:-127.0.0.1}
port=${4:-10081}
pid_file="$dir/stats-server.pid"

case "$1" in
start)
    mkdir -p "$dir"
    if [ -f "$pid_file" ] && kill -0 "$(cat "$pid_file")" 2>/dev/null; then
        kill "$(cat "$pid_file")" 2>/dev/null || true
        sleep 0.3
    fi
    : >"$dir/reports.jsonl"
    rm -rf "$dir/requests"
    # Closed stdio: the server must not hold the test runner's pipes open.
    /usr/bin/python3 "$here/stats_server.py" --host "$host" --port "$port" --log "$dir/reports.jsonl" \
        --raw-dir "$dir/requests" --pid-file "$pid_file" --quiet </dev/null >/dev/null 2>"$dir/stats-server.err" &
    for _ in $(seq 100); do
        if [ -f "$pid_file" ] && /usr/bin/python3 - "$host" "$port" <<'PY' 2>/dev/null; then exit 0; fi
import socket, sys
socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=0.5).close()
PY
        kill -0 $! 2>/dev/null || break
        sleep 0.1
    done
    echo "stats-server: could not listen on $host:$port: $(cat "$dir/stats-server.err")" >&2
    exit 1
    ;;
stop)
    if [ -f "$pid_file" ]; then
        kill "$(cat "$pid_file")" 2>/dev/null || true
        rm -f "$pid_file"
    fi
    ;;
*)
    echo "usage: $0 start|stop <dir> [host [port]]" >&2
    exit 2
    ;;
esac
