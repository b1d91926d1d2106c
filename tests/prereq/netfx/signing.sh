#!/usr/bin/env bash
# Code signing for the test builds, made at build time (nothing is stored in the repository).
#   signing.sh publishers DIR TRUSTED_NAME OTHER_NAME
#       a throw-away code-signing certificate and key for each: DIR/trusted.{crt,key}, DIR/other.{crt,key}
#   signing.sh standin EXE DIR
#       signs EXE in place as the trusted publisher and leaves beside it the cases a download must
#       refuse: NAME.unsigned.exe, NAME.tampered.exe (changed after signing), NAME.other.exe
#   signing.sh pins HEADER NAME EXE
#       HEADER defines the pins of a test build: NAME pinned to EXE's SHA-256
set -euo pipefail

case "$1" in
publishers)
    dir=$2
    mkdir -p "$dir"
    for pair in "trusted:$3" "other:$4"; do
        name=${pair%%:*} subject=${pair#*:}
        openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=$subject" \
            -addext extendedKeyUsage=codeSigning -keyout "$dir/$name.key" -out "$dir/$name.crt" 2>/dev/null
    done
    ;;
standin)
    exe=$2 dir=$3
    base=${exe%.exe}
    sign() { osslsigncode sign -certs "$dir/$1.crt" -key "$dir/$1.key" -h sha256 -in "$2" -out "$3" >/dev/null; }
    # osslsigncode never writes over a file: what an earlier build of the stand-in left goes first.
    rm -f "$base.other.exe" "$base.signed.tmp"
    cp "$exe" "$base.unsigned.exe"
    sign other "$base.unsigned.exe" "$base.other.exe"
    sign trusted "$base.unsigned.exe" "$base.signed.tmp"
    # One byte in the middle of the code changes: the signature no longer matches the file.
    cp "$base.signed.tmp" "$base.tampered.exe"
    size=$(stat -c %s "$base.unsigned.exe")
    printf '\xcc' | dd of="$base.tampered.exe" bs=1 seek=$((size / 2)) conv=notrunc status=none
    mv "$base.signed.tmp" "$exe"
    ;;
pins)
    digest=$(sha256sum "$4" | cut -c1-64)
    mkdir -p "$(dirname "$2")"
    printf '#define VEXO_PINNED_DOWNLOADS_OVERRIDE L"%s=%s"\n' "$3" "$digest" >"$2"
    ;;
*)
    echo "usage: signing.sh publishers DIR TRUSTED OTHER | standin EXE DIR | pins HEADER NAME EXE" >&2
    exit 2
    ;;
esac
