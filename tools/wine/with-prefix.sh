#!/usr/bin/env bash
# A dedicated Wine prefix of the build tree, for tests that need another Windows than the
# shared one (another version, 64-bit, registry values of their own).
#
#   with-prefix.sh NAME ARCH VERSION -- command [args...]
#       runs the command with Wine on <build>/wine/NAME (WINEPREFIX and the VEXO_* variables
#       set, so `wine` and tools/wine/wine-run.sh both use it), creating the prefix on first
#       use; holds the prefix's lock meanwhile, so commands that write its registry never
#       overlap. The exit code is the command's.
#   with-prefix.sh NAME ARCH VERSION --start
#       creates the prefix if needed and keeps a wineserver alive for it (a test fixture).
#   with-prefix.sh NAME ARCH VERSION --stop
#       stops that wineserver (only this prefix's).
#
#   ARCH: win32 or win64; VERSION: as winecfg names it (winxp, win7, win8, win81, win10).
#   Requires VEXO_BUILD_DIR. Prefixes are kept between runs; delete the folder to rebuild one.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

[ $# -ge 4 ] || { echo "usage: $0 NAME ARCH VERSION -- command... | --start | --stop" >&2; exit 2; }
export VEXO_PREFIX=$1 VEXO_WINEARCH=$2 VEXO_WINVER=$3
shift 3
. "$here/wine-env.sh"

case "$1" in
--start)
    vexo_wine_prefix_ready || vexo_wine_prefix_create
    # Output closed: the server detaches and must not hold the test runner's pipes open.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # Wine's own services start with the first program; start them now, not inside a test.
    wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
    ;;
--stop)
    if [ -d "$WINEPREFIX" ]; then wineserver -k 2>/dev/null || true; fi
    ;;
--)
    shift
    [ $# -gt 0 ] || { echo "$0: no command given" >&2; exit 2; }
    vexo_wine_prefix_ready || vexo_wine_prefix_create
    # -o: a wineserver the command starts must not inherit, and so keep, the lock.
    exec flock -o "$VEXO_WINE_DIR/$VEXO_PREFIX.use.lock" "$@"
    ;;
*)
    echo "$0: expected --, --start or --stop, not '$1'" >&2
    exit 2
    ;;
esac
