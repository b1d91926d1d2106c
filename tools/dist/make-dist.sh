#!/usr/bin/env bash
# Assembles the release folder from a configured and built tree:
#   Vexosetup_<version>_full_<channel>.exe, installer.ini, res.zip, platform.zip
#
#   make-dist.sh <build-dir> <out-dir>
# Environment: CHANNEL, BUILD_LABEL, ENGINE, PAYLOAD (a product folder; empty for the sample
# payload). The version and the hosts are the build tree's own (VEXO_VERSION, VEXO_*_HOST).
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 <build-dir> <out-dir>" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
out=$2
: "${CHANNEL:?}" "${BUILD_LABEL:?}" "${ENGINE:?}"
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
VERSION=$(cached VEXO_VERSION)
STATS_HOST=$(cached VEXO_STATS_HOST)
DOWNLOAD_HOST=$(cached VEXO_DOWNLOAD_HOST)

# The installer reads its channel back from its own file name: fields 3 and 4 after the
# underscores, any field holding "hd" skipped, ".exe" removed. One or two plain fields survive
# that unchanged.
if ! [[ $CHANNEL =~ ^[A-Za-z0-9.-]+(_[A-Za-z0-9.-]+)?$ ]] || [[ $CHANNEL == *hd* ]] || [[ $CHANNEL == *.exe* ]]; then
    echo "dist: CHANNEL '$CHANNEL' would not survive the file name: use one or two fields of letters," \
        "digits, '.' or '-', joined by '_', without \"hd\" or \".exe\"" >&2
    exit 2
fi
for value in "$BUILD_LABEL" "$ENGINE"; do
    [[ $value =~ ^[A-Za-z0-9._-]*$ ]] || { echo "dist: '$value' is not a plain installer.ini value" >&2; exit 2; }
done

exe="Vexosetup_${VERSION}_full_${CHANNEL}.exe"
rm -rf "$out"
mkdir -p "$out"
cp "$build/src/VexoInstaller.exe" "$out/$exe"
cp "$build/res.zip" "$out/res.zip"
printf '[Platform]\r\nversion=%s\r\nbuild=%s\r\nengine=%s\r\n' "$VERSION" "$BUILD_LABEL" "$ENGINE" >"$out/installer.ini"
if [ -n "${PAYLOAD:-}" ]; then
    /usr/bin/python3 "$src/tools/packer/pack_payload.py" pack "$PAYLOAD" "$out/platform.zip"
else
    cp "$build/platform.zip" "$out/platform.zip"
fi
/usr/bin/python3 "$src/tools/packer/pack_payload.py" check "$out/platform.zip" >/dev/null

echo "dist: $(cd "$out" && pwd)"
(cd "$out" && ls -l)
for host in "$STATS_HOST" "$DOWNLOAD_HOST"; do
    case "$host" in
    127.* | localhost | "")
        echo "dist: warning: built for development hosts (statistics $STATS_HOST, downloads $DOWNLOAD_HOST);" \
            "name the real ones with STATS_HOST=... DOWNLOAD_HOST=..." >&2
        break
        ;;
    esac
done
