#!/usr/bin/env bash
# make-dist.sh on the installer this tree has built (no second build): unsigned, signed with a
# throw-away certificate made here, and refusing signing settings it cannot honour; then what the
# binutils, the signature check and WinVerifyTrust under Wine make of the release.
#
#   dist-release.sh <source-dir> <build-dir> <trust_probe.exe>
set -euo pipefail
src=$1
build=$2
probe=$3
tmp=${VEXO_TEST_TMP:?}
rm -rf "$tmp" && mkdir -p "$tmp"
cd "$tmp"
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
NM=$(cached CMAKE_NM)
OBJCOPY=$(cached CMAKE_OBJCOPY)
OBJDUMP=$(cached CMAKE_OBJDUMP)
built="$build/src/VexoInstaller.exe"
exe="Vexosetup_$(cached VEXO_VERSION)_full_ot.exe"
symbols="${exe%.exe}.debug"
status=0
row_failed=0
fail() { echo "FAIL: $*"; status=1; row_failed=1; }

signer="Vexo Release Test"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$signer" -addext extendedKeyUsage=codeSigning \
    -keyout key.pem -out cert.pem 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vexo Web" -addext extendedKeyUsage=serverAuth \
    -keyout web-key.pem -out web-cert.pem 2>/dev/null
openssl genrsa -out other-key.pem 2048 2>/dev/null
printf 'a pass phrase\n' >pass
printf 'not it\n' >wrong-pass
openssl pkcs12 -export -in cert.pem -inkey key.pem -out cert.p12 -passout file:pass

# Nothing listens on the discard port of the build's own loopback host.
closed_port="$(cached VEXO_STATS_HOST):9"
# name         outcome    signing settings
runs=(
    "unsigned     unsigned"
    "pem          signed     SIGN_CERT=cert.pem SIGN_KEY=key.pem"
    "pkcs12       signed     SIGN_PKCS12=cert.p12 SIGN_PASS_FILE=pass"
    "cert-alone   refused    SIGN_CERT=cert.pem"
    "pass-alone   refused    SIGN_PASS_FILE=pass"
    "both-kinds   refused    SIGN_CERT=cert.pem SIGN_KEY=key.pem SIGN_PKCS12=cert.p12 SIGN_PASS_FILE=pass"
    "foreign-key  refused    SIGN_CERT=cert.pem SIGN_KEY=other-key.pem"
    "wrong-pass   refused    SIGN_PKCS12=cert.p12 SIGN_PASS_FILE=wrong-pass"
    "not-for-code refused    SIGN_CERT=web-cert.pem SIGN_KEY=web-key.pem"
    "tsa-down     refused    SIGN_CERT=cert.pem SIGN_KEY=key.pem SIGN_TIMESTAMP_URL=http://$closed_port/"
)

# Sections as "name address size", without the link, which only the release carries.
sections() { "$OBJDUMP" -h "$1" | awk '$1 ~ /^[0-9]+$/ && $2 != ".gnu_debuglink" { print $2, $4, $3 }'; }
debug_sections() { sections "$1" | awk '$1 ~ /^\.debug_/ { print $1, $3 }'; }

check_release() {
    local out=$1 outcome=$2 log=$3
    [ -f "$out/$exe" ] && [ -f "$out/$symbols" ] || { fail "$out: no $exe or no $symbols"; return; }
    grep -q "($outcome):" "$log" || fail "$out: the summary does not say $outcome"
    local file
    for file in platform.zip res.zip installer.ini; do
        grep -qx "dist: pinned: $(cd "$out" && sha256sum "$file")" "$log" || fail "$out: $file is not pinned as shipped"
    done
    [ -z "$(debug_sections "$out/$exe")" ] || fail "$out: debug sections left in the installer"
    "$NM" "$out/$exe" 2>&1 | grep -q 'no symbols' || fail "$out: symbols left in the installer"
    # A crash address in the release resolves through the symbols file: same sections at the
    # same addresses, and every symbol and debug section the linked installer had.
    [ "$(sections "$out/$exe")" = "$(sections "$out/$symbols" | awk '$1 !~ /^\.debug_/')" ] ||
        fail "$out: the symbols file's sections lie elsewhere than the installer's"
    cmp -s <("$NM" "$built") <("$NM" "$out/$symbols") || fail "$out: the symbols file lacks the installer's symbols"
    [ "$(debug_sections "$built")" = "$(debug_sections "$out/$symbols")" ] ||
        fail "$out: the symbols file lacks the installer's debug sections"
    # (objcopy rewrites its input when not given an output.)
    "$OBJCOPY" --dump-section .gnu_debuglink="$out.link" "$out/$exe" "$out.rewritten" 2>/dev/null ||
        { fail "$out: no debug link"; return; }
    local link
    link=$(/usr/bin/python3 -c '
import sys, zlib
data = open(sys.argv[1], "rb").read()
end = data.index(b"\0")
crc_at = (end + 4) & ~3  # the name, its NUL, padding to 4 bytes, then the CRC
name = data[:end].decode()
crc = int.from_bytes(data[crc_at:crc_at + 4], "little")
print(name, "crc-ok" if crc == zlib.crc32(open(sys.argv[2], "rb").read()) else "crc-wrong")
' "$out.link" "$out/$symbols")
    [ "$link" = "$symbols crc-ok" ] || fail "$out: the debug link reads '$link', not '$symbols crc-ok'"
    local mapped
    mapped=$(probe map "$out/$exe")
    [ "$mapped" = mapped ] || fail "$out: the loader refuses the release: $mapped"
}

probe() { "$build/wine-run.sh" "$probe" "$1" "Z:${2//\//\\}" </dev/null | tr -d '\r'; }

for row in "${runs[@]}"; do
    read -r name outcome settings <<<"$row"
    row_failed=0
    out="$tmp/$name"
    # The caller's own signing settings must not leak into a row.
    if env -u SIGN_CERT -u SIGN_KEY -u SIGN_PKCS12 -u SIGN_PASS_FILE -u SIGN_TIMESTAMP_URL \
        CHANNEL=ot BUILD_LABEL=test ENGINE=1 $settings bash "$src/tools/dist/make-dist.sh" "$build" "$out" \
        >"$out.log" 2>&1; then
        [ "$outcome" != refused ] || fail "$name: make-dist.sh succeeded; expected it to refuse"
    else
        [ "$outcome" = refused ] || { fail "$name: make-dist.sh failed:"; cat "$out.log"; continue; }
    fi
    if [ "$outcome" = refused ]; then
        grep -q '^dist: ' "$out.log" || fail "$name: refused without saying why"
        ! compgen -G "$out/*.exe" >/dev/null || fail "$name: an installer was left in the release folder"
    else
        check_release "$out" "$outcome" "$out.log"
    fi
    [ $row_failed -eq 1 ] || echo "ok: $name ($outcome)"
done

# A release folder that holds anything else (DIST=. or a source folder) is never emptied.
mkdir -p "$tmp/occupied" && echo mine >"$tmp/occupied/keep.txt"
if CHANNEL=ot BUILD_LABEL=test ENGINE=1 bash "$src/tools/dist/make-dist.sh" "$build" "$tmp/occupied" >"$tmp/occupied.log" 2>&1; then
    fail "occupied: make-dist.sh emptied a folder that was not a release's"
fi
grep -q '^dist: ' "$tmp/occupied.log" && [ "$(cat "$tmp/occupied/keep.txt")" = mine ] ||
    fail "occupied: refused without saying why, or the folder's file is gone"

# One byte of code changed after signing.
cp "pem/$exe" tampered.exe
text_offset=$("$OBJDUMP" -h tampered.exe | awk '$2 == ".text" { print $6 }')
/usr/bin/python3 -c '
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(int(sys.argv[2], 16) + 0x100)
    b = f.read(1)
    f.seek(-1, 1)
    f.write(bytes([b[0] ^ 0xFF]))
' tampered.exe "$text_offset"

# file                 signature check   WinVerifyTrust and signer
trust=(
    "pem/$exe          verifies          0x00000000 $signer"
    "pkcs12/$exe       verifies          0x00000000 $signer"
    "tampered.exe      fails             0x80096010 -"
    "unsigned/$exe     fails             0x800B0100 -"
)
for row in "${trust[@]}"; do
    read -r file check expected <<<"$row"
    row_failed=0
    if bash "$src/tools/dist/authenticode.sh" verify "$file" cert.pem >"$file.verify.log" 2>&1; then
        got=verifies
    else
        got=fails
    fi
    [ "$got" = "$check" ] || { fail "$file: the signature check $got; expected it $check"; cat "$file.verify.log"; }
    got=$(probe verify "$tmp/$file")
    [ "$got" = "$expected" ] || fail "$file: WinVerifyTrust gives '$got'; expected '$expected'"
    [ $row_failed -eq 1 ] || echo "ok: $file ($check, $expected)"
done
exit $status
