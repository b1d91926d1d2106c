#!/usr/bin/env bash
# Assembles the release folder from a configured and built tree:
#   Vexosetup_<version>_full_<channel>.exe, installer.ini, res.zip, platform.zip, and the
#   installer's symbols, Vexosetup_<version>_full_<channel>.debug (for engineers, not to ship).
# The installer pins the SHA-256 of the three files beside it (pin-release.py) and refuses others.
#
#   make-dist.sh <build-dir> <out-dir>
# Environment: CHANNEL, BUILD_LABEL, ENGINE, PAYLOAD (a product folder; empty for the sample
# payload); to sign, SIGN_CERT and SIGN_KEY or SIGN_PKCS12 and SIGN_PASS_FILE, and optionally
# SIGN_TIMESTAMP_URL (see authenticode.sh). The version and the hosts are the build tree's own
# (VEXO_VERSION, VEXO_*_HOST), and so are the binutils.
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
OBJCOPY=$(cached CMAKE_OBJCOPY)
STRIP=$(cached CMAKE_STRIP)
[ -x "$OBJCOPY" ] && [ -x "$STRIP" ] || { echo "dist: no objcopy or strip in $build/CMakeCache.txt" >&2; exit 2; }

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
symbols="${exe%.exe}.debug"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
signing=
if [ -n "${SIGN_CERT:-}${SIGN_KEY:-}${SIGN_PKCS12:-}${SIGN_PASS_FILE:-}" ]; then
    signing=1
    # Settings and password checked before the release folder is emptied.
    bash "$src/tools/dist/authenticode.sh" signer "$work/signer.pem"
fi

# The release folder is emptied: never one that holds anything but an earlier release.
if [ -e "$out" ] && [ -n "$(ls -A "$out" 2>/dev/null | grep -v -E '^(Vexosetup_.*\.(exe|debug)|installer\.ini|res\.zip|platform\.zip)$' || true)" ]; then
    echo "dist: $out holds more than a release; give DIST a folder of its own" >&2
    exit 2
fi
rm -rf "$out"
mkdir -p "$out"
cp "$build/res.zip" "$out/res.zip"
printf '[Platform]\r\nversion=%s\r\nbuild=%s\r\nengine=%s\r\n' "$VERSION" "$BUILD_LABEL" "$ENGINE" >"$out/installer.ini"
if [ -n "${PAYLOAD:-}" ]; then
    /usr/bin/python3 "$src/tools/packer/pack_payload.py" pack "$PAYLOAD" "$out/platform.zip"
else
    cp "$build/platform.zip" "$out/platform.zip"
fi
# Only its verdict on a failure is shown: the entry and why.
/usr/bin/python3 "$src/tools/packer/pack_payload.py" check "$out/platform.zip" >"$work/check.txt" 2>&1 ||
    { cat "$work/check.txt" >&2; exit 1; }

# The installer is prepared aside and lands in the release folder only when complete (and, when
# signing, verified): a failed run leaves no installer that could be shipped by mistake.
# Symbols out, stripped, the link to the symbols added, and only then signed, so the link is
# part of the signed bytes.
staged="$work/$exe"
cp "$build/src/VexoInstaller.exe" "$staged"
# The three files beside it are pinned in it first: it uses them only as they are now.
/usr/bin/python3 "$src/tools/dist/pin-release.py" "$staged" "$out" >"$work/pins"
unstripped_size=$(stat -c %s "$staged")
"$OBJCOPY" --only-keep-debug "$staged" "$out/$symbols"
chmod 644 "$out/$symbols"
"$STRIP" --strip-all "$staged"
"$OBJCOPY" --add-gnu-debuglink="$out/$symbols" "$staged"
if [ -n "$signing" ]; then
    bash "$src/tools/dist/authenticode.sh" sign "$staged" "$work/signed.exe"
    bash "$src/tools/dist/authenticode.sh" verify "$work/signed.exe" "$work/signer.pem"
    chmod 755 "$work/signed.exe"
    mv "$work/signed.exe" "$out/$exe"
else
    mv "$staged" "$out/$exe"
fi

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
sed 's/^/dist: pinned: /' "$work/pins"
state=signed
if [ -z "$signing" ]; then
    state=unsigned
    echo "dist: warning: the installer is UNSIGNED; sign it with SIGN_CERT=... SIGN_KEY=..." \
        "or SIGN_PKCS12=... SIGN_PASS_FILE=..." >&2
fi
size() { awk -v b="$1" 'BEGIN { printf "%d bytes (%.1f KiB)", b, b / 1024 }'; }
echo "dist: $exe ($state): $(size "$(stat -c %s "$out/$exe")"); before stripping $(size "$unstripped_size")"
