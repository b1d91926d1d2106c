#!/usr/bin/env bash
# Edition detection in a dedicated prefix (run through tools/wine/with-prefix.sh): first with the
# prefix's own values, then with product names, versions and version overrides written by the
# test. What it writes is put back before and after, so the prefix stays what its name says.
#
#   editions.sh PROBE_EXE CASES    (CASES: xp32, win8x32, win7x64 or win10x64)
set -euo pipefail
probe=$1
cases=$2
tmp=${VEXO_TEST_TMP:?}
rm -rf "$tmp" && mkdir -p "$tmp"
log="$tmp/tmp.log"
app_key='HKCU\Software\Wine\AppDefaults\edition_probe.exe'
. "$(dirname "${BASH_SOURCE[0]}")/prefix-edition.sh"

# The installer is a 32-bit program: on 64-bit Windows it sees the 32-bit registry view, so the
# values are read and written there (/reg:32).
reg() { wine reg "$@" </dev/null | tr -d '\r'; }
set_values() { set_edition "$1" "$2"; }
# Windows version Wine reports to the probe alone (winecfg's names).
report_version() { reg add "$app_key" /v Version /d "$1" /f >/dev/null; }
restore() {
    reg delete "$app_key" /f >/dev/null 2>&1 || true
    restore_edition
}
note_own_edition || { echo "cannot read the prefix's own values"; exit 1; }
restore
trap restore EXIT

probe() {
    rm -f "$log"
    wine "$probe" "Z:${log//\//\\}" </dev/null | tr -d '\r'
}
# What ReadCurrentVersionValue gives for a value: "[text]" or "failed".
read_value() { wine "$probe" --read "$1" </dev/null | tr -d '\r'; }
# Tag, bits and the checks that hold.
expect_all() { check "$1" "$2" "$(probe)"; }
# Bits and checks only: with no version set for it, Wine derives the reported one from the values.
expect_checks() {
    local got
    got=$(probe)
    check "$1" "$2" "${got#* }"
}
# Whether the log of the last probe run holds a line containing the text.
log_has() { check "$1" "line '$2'" "$(grep -qF -- "$2" "$log" && echo "line '$2'" || echo missing)"; }
log_lacks() { check "$1" "no line '$2'" "$(grep -qF -- "$2" "$log" && echo present || echo "no line '$2'")"; }

case "$cases" in
xp32)
    expect_all "Windows XP" "windows_XP 32 none"
    # The tag follows the version reported, whatever the registry texts say.
    for row in "win2k -" "win2003 -" "vista windows_7" "win7 windows_7" "win8 windows_8" "win81 windows_8" \
               "win10 windows_8"; do
        report_version "${row% *}"
        expect_all "reported ${row% *}" "${row#* } 32 none"
    done
    ;;
win8x32)
    expect_all "Windows 8 32-bit" "windows_8 32 IsWindows832Bit"
    set_values "Windows 8.1 Enterprise" "6.3"
    expect_checks "8.1 32-bit" "32 IsWindows8132Bit"
    set_values "Windows 10 Home" "6.3"
    expect_checks "10 32-bit, 6.3 kept" "32 IsWindows1032Bit"
    ;;
win7x64)
    expect_all "Windows 7 64-bit" "windows_7 64 none"
    set_values "Windows 8 Pro" "6.2"
    expect_checks "8 64-bit" "64 IsWindows864Bit"
    set_values "Windows 8.1 Pro" "6.3"
    expect_checks "8.1 64-bit" "64 IsWindows8164Bit"
    log_has "8.1 texts logged" "current product Windows 8.1 Pro and version 6.3"
    set_values "Windows 10 Pro" "6.3"
    expect_checks "10 64-bit, 6.3 kept" "64 IsWindows1064Bit"
    set_values "Windows Server 2012 R2 Datacenter" "6.3"
    expect_checks "server edition" "64 none"
    set_values "windows 8.1 pro" "6.3"
    expect_checks "case matters" "64 none"
    # 129 characters and the terminator are exactly the 260 bytes read; one more is too long.
    name129="Windows 10 Pro$(printf 'x%.0s' $(seq 115))"
    set_values "$name129" "10.0"
    expect_checks "product name of 260 bytes" "64 IsWindows1064Bit"
    log_has "whole name logged" "current product $name129 and version 10.0"
    check "260 bytes read" "[$name129]" "$(read_value ProductName)"
    set_values "${name129}x" "10.0"
    check "262 bytes refused" "failed" "$(read_value ProductName)"
    expect_checks "product name of 262 bytes" "64 none"
    log_has "first line kept" "IsWindows1064Bit1"
    log_has "last line kept" "IsWindows1064Bit2"
    log_lacks "no texts logged" "current product"
    # The type is not looked at, and text stored without its terminator still ends where it does.
    reg add "$edition_key" /v ProductName /t REG_BINARY /f /reg:32 \
        /d "$(printf 'Windows 10 Pro' | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n')" >/dev/null
    check "unterminated text" "[Windows 10 Pro]" "$(read_value ProductName)"
    expect_checks "product name as bytes" "64 IsWindows1064Bit"
    reg delete "$edition_key" /v CurrentVersion /f /reg:32 >/dev/null
    check "missing value" "failed" "$(read_value CurrentVersion)"
    expect_checks "no version text" "64 none"
    ;;
win10x64)
    expect_all "Windows 10 64-bit" "windows_8 64 IsWindows1064Bit"
    log_has "version text kept" "and version 10.0"
    ;;
*)
    echo "unknown cases: $cases" >&2
    exit 2
    ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
