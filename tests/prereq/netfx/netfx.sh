#!/usr/bin/env bash
# The .NET Framework task in a dedicated prefix (run through tools/wine/with-prefix.sh): what it
# decides for the .NET registry values, edition and dism answer of each case, the InstallRoot
# repair, and whole runs that download, run and delete stand-in installers served by the scripted
# server. What it changes (the .NET keys, the edition texts, dism, the probe's Windows version)
# is put back before and after, so the prefix stays what its name says.
#
#   netfx.sh CASES    (CASES: xp32, win8x32, win7x64 or win10x64)
#
# Environment: VEXO_TEST_TMP, VEXO_NETFX_PROBE, VEXO_DISM_STANDIN, VEXO_INSTALLER_STANDIN,
# VEXO_SP2_STANDIN, VEXO_NETFX_SERVER (the server's folder), VEXO_VERSION_HOST.
set -euo pipefail
cases=$1
tmp=${VEXO_TEST_TMP:?}
rm -rf "$tmp" && mkdir -p "$tmp/module"
module="$tmp/module"
module_win="Z:${module//\//\\}"
# The installer runs the stand-ins from folders of its own, which it removes: they note how they
# ran in the module folder.
export VEXO_STANDIN_RECORDS=$module_win
log="$tmp/tmp.log"
server=${VEXO_NETFX_SERVER:?}
. "$(dirname "${BASH_SOURCE[0]}")/../prefix-edition.sh"

# The installer is a 32-bit program: on 64-bit Windows it sees the 32-bit registry view, so the
# values are read and written there (/reg:32) unless a case says otherwise.
reg() { wine reg "$@" </dev/null 2>/dev/null | tr -d '\r'; }
setup='HKLM\Software\Microsoft\NET Framework Setup'
ndp="$setup\\NDP"
netfx_root='HKLM\Software\Microsoft\.NETFramework'
app_key='HKCU\Software\Wine\AppDefaults\netfx_probe.exe'
dism="$WINEPREFIX/drive_c/windows/system32/dism.exe"
# What the prefix held before any run of this script, noted once, so even a run that was killed
# is undone next time. The edition texts are noted by prefix-edition.sh.
saved="$WINEPREFIX/.vexo-netfx-saved"
keys=("$setup|32" "$setup|64" "$netfx_root|32")
if [ ! -f "$saved/done" ]; then
    rm -rf "$saved" && mkdir -p "$saved"
    for i in "${!keys[@]}"; do
        reg export "${keys[$i]%|*}" "$(winepath -w "$saved/$i.reg")" /reg:"${keys[$i]#*|}" /y >/dev/null || true
    done
    cp "$dism" "$saved/dism.exe"
    note_own_edition || true
    touch "$saved/done"
fi
restore() {
    for i in "${!keys[@]}"; do
        reg delete "${keys[$i]%|*}" /f /reg:"${keys[$i]#*|}" >/dev/null || true
        [ -f "$saved/$i.reg" ] && reg import "$(winepath -w "$saved/$i.reg")" /reg:"${keys[$i]#*|}" >/dev/null
    done
    reg delete "$app_key" /f >/dev/null || true
    restore_edition
    cp "$saved/dism.exe" "$dism"
    return 0
}
# set_net KEY VALUE NUMBER [VIEW]: a .NET setup value (KEY below NDP).
set_net() { reg add "$ndp\\$1" /v "$2" /t REG_DWORD /d "$3" /f /reg:"${4:-32}" >/dev/null; }
clear_net() { reg delete "$ndp" /f /reg:32 >/dev/null || true; reg delete "$ndp" /f /reg:64 >/dev/null || true; }
restore
trap restore EXIT

# The stand-in dism answers with the state line in VEXO_DISM_STATE and notes its calls; it only
# runs in place of Wine's own with a native override.
cp "$VEXO_DISM_STANDIN" "$dism"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}dism.exe=n"
export VEXO_DISM_STATE="State : Disabled" VEXO_DISM_CALLS="$tmp/dism-calls"

# probe [STEP] [OPTIONS]: runs the task (or one step) with a fresh log and module folder; prints
# "state=.. name=.. next=.. posted=..".
probe() {
    rm -f "$log" "$VEXO_DISM_CALLS"
    rm -rf "$module" && mkdir -p "$module"
    wine "$VEXO_NETFX_PROBE" "$log" "$module" "$@" </dev/null | tr -d '\r'
}
# ran_from RECORD PROGRAM: "own folder, gone" when the stand-in's record (command line, then current
# folder) shows PROGRAM started from a new folder "kavix-run-..." that was its current folder and
# is gone since; else the record.
ran_from() {
    local line folder
    line=$(sed -n 1p "$1" | tr -d '"')
    folder=$(sed -n 2p "$1")
    if [[ $folder == *'\kavix-run-'* && $line == "$folder\\$2"* && ! -e "$(winepath -u "$folder" 2>/dev/null)" ]]; then
        echo "own folder, gone"
    else
        paste -sd'|' "$1"
    fi
}
# The messages of the last run's log, without level tags and times.
messages() { sed -e 's/^\[[A-Z]*\] //' -e 's/ \[[0-9-]* [0-9:]*\]$//' "$log" | tr -d '\r'; }
log_has() { check "$1" "line '$2'" "$(messages | grep -qxF -- "$2" && echo "line '$2'" || echo missing)"; }
log_lacks() { check "$1" "no line with '$2'" "$(messages | grep -qF -- "$2" && echo present || echo "no line with '$2'")"; }
# expect_check WHAT STATE [NAME]: the decision alone.
expect_check() {
    local got
    got=$(probe check)
    check "$1" "state=$2 name=${3:-WinNet832Bit}" "${got%% next=*}"
}
root_value() { reg query "$netfx_root" /v InstallRoot /reg:32 | sed -n 's/^.*InstallRoot    REG_SZ    //p'; }
has_key() { wine reg query "$1" /reg:32 </dev/null >/dev/null 2>&1 && echo present || echo absent; }
files() { (cd "$module" && ls -A | tr '\n' ' ' | sed 's/ $//'); }
routes() { printf '%s\n' "$@" >"$server/routes"; }
requests_since() { tail -n +"$(($1 + 1))" "$server/requests"; }
request_count() { wc -l <"$server/requests"; }
host=${VEXO_VERSION_HOST:?}
xp_line="xp dected sp2 not installed  enter download state"
other_line="dected sp2 not installed  enter download state"
finished="next=unzip:30:C:\\kavix"

case "$cases" in
xp32)
    expect_check "XP, nothing installed" 1
    log_has "XP's own line" "$xp_line"
    set_net v2.0.50727 Install 1
    set_net v2.0.50727 SP 2
    expect_check "XP with 2.0 SP2" 5
    log_lacks "no download line" "dected"
    set_net v2.0.50727 SP 1
    expect_check "XP with 2.0 SP1" 1
    set_net v2.0.50727 Install 0
    set_net v2.0.50727 SP 2
    expect_check "XP with SP2 but no Install" 1
    clear_net
    set_net 'v4.0\Client' Install 1
    set_net 'v4\Client' Install 1
    expect_check "XP asks for 2.0 whatever 4 says" 1
    check "no repair on 32-bit XP" absent "$(has_key 'HKLM\Software\Wow6432Node')"
    clear_net

    # The service pack through a redirect; its stand-in writes "Install" at once and "SP" later.
    routes "/others/dotnet/sp2.exe redirect http://$host:10080/files/sp2.exe" "/files/sp2.exe file $VEXO_SP2_STANDIN"
    before=$(request_count)
    check "XP run" "state=5 name=WinNet832Bit $finished posted=progress:5:-1 progress:15:-2 progress:20:-2 progress:30:-1" \
        "$(probe run --wait-ms 60000)"
    # Asked at once: had the task not waited for "SP", the late value would not be there yet.
    check "waited until SP2 showed" "0x1 0x2" \
        "$(reg query "$ndp\\v2.0.50727" /reg:32 | sed -n 's/^ *\(Install\|SP\) *REG_DWORD *//p' | paste -sd' ')"
    log_lacks "without giving up" "sp2 still not installed"
    check "redirect followed" "80 GET /others/dotnet/sp2.exe|10080 GET /files/sp2.exe" \
        "$(requests_since "$before" | paste -sd'|')"
    check "started quietly in its folder" "/q /c:\"install /q\"|own folder, gone" \
        "$(sed -n '1s/^.*sp2\.exe"* //p' "$module/sp2.exe.ran")|$(ran_from "$module/sp2.exe.ran" sp2.exe)"
    check "sp2.exe deleted once SP2 shows" "sp2.exe.ran" "$(files)"
    log_has "download entered" "DotNetFrameworkTask download framework enter now"
    log_has "download left" "DotNetFrameworkTask downlaod framework exit now"
    log_lacks "no address logged for the pack" "downloadURL"
    ;;
win7x64)
    expect_check "7, nothing installed" 1
    log_has "the line of other systems" "$other_line"
    log_lacks "not XP's line" "xp dected"
    check "check ends with the repair" 'C:\Windows\Microsoft.NET\Framework\' "$(root_value)"
    set_net 'v4.0\Client' Install 1
    set_net v2.0.50727 Install 1
    set_net v2.0.50727 SP 1
    expect_check "4.0 client, 2.0 SP1" 5
    clear_net
    set_net 'v4.0\Client' Install 1
    expect_check "4.0 client alone" 5
    set_net 'v4.0\Client' Install 0
    expect_check "4.0 client not installed" 1
    set_net 'v4\Client' Install 1
    expect_check "4 client" 5
    clear_net
    set_net v2.0.50727 Install 1
    set_net v2.0.50727 SP 2
    expect_check "2.0 SP2" 5
    set_net v2.0.50727 SP 1
    expect_check "2.0 SP1" 1
    clear_net
    set_net 'v4.0\Client' Install 1 64
    expect_check "4.0 in the 64-bit view only" 1

    # The repair: added when missing, to a key that lasts; an existing value is kept.
    reg delete "$netfx_root" /f /reg:32 >/dev/null
    check "repair creates the key" "state=0 name= next=none posted=none root=lasting" "$(probe fixroot)"
    check "value added" 'C:\Windows\Microsoft.NET\Framework\' "$(root_value)"
    reg add "$netfx_root" /v InstallRoot /d 'D:\Framework\' /f /reg:32 >/dev/null
    probe fixroot >/dev/null
    check "value kept" 'D:\Framework\' "$(root_value)"
    reg delete "$netfx_root" /v InstallRoot /f /reg:32 >/dev/null
    probe fixroot >/dev/null
    check "value added to the key" 'C:\Windows\Microsoft.NET\Framework\' "$(root_value)"
    # Reported as XP (NT 5.1) on this 64-bit system: XP's rule, and no repair.
    reg delete "$netfx_root" /f /reg:32 >/dev/null
    reg add "$app_key" /v Version /d winxp /f >/dev/null
    set_net 'v4.0\Client' Install 1
    expect_check "reported XP asks for 2.0" 1
    log_has "XP's line" "$xp_line"
    check "no repair on XP" absent "$(has_key "$netfx_root")"
    reg delete "$app_key" /f >/dev/null
    clear_net

    # Only SP1: the pack is fetched; its stand-in installs nothing, so the wait gives up.
    set_net v2.0.50727 Install 1
    set_net v2.0.50727 SP 1
    routes "/others/dotnet/sp2.exe file $VEXO_INSTALLER_STANDIN"
    check "7 run, pack never shows" \
        "state=5 name=WinNet832Bit $finished posted=progress:5:-1 progress:15:-2 progress:20:-2 progress:30:-1" \
        "$(probe run --wait-ms 3000)"
    log_has "gave up" "sp2 still not installed after 3 seconds, going on"
    check "pack started, then deleted" "sp2.exe.ran" "$(files)"
    ;;
win8x32)
    export VEXO_DISM_STATE="State : Enabled"
    expect_check "8 32-bit, feature enabled" 5
    log_has "edition line" "windows 8 32 bit check net35 install okay"
    check "dism in the system folder" \
        'C:\windows\system32\dism.exe|C:\windows\system32\dism.exe /English /Online /Get-FeatureInfo /FeatureName:NetFX3' \
        "$(tr -d '\r' <"$VEXO_DISM_CALLS")"
    log_has "answer logged" "State : Enabled"
    check "no repair on 32-bit" absent "$(has_key 'HKLM\Software\Wow6432Node')"
    for state in "State : Disabled" "State : Disabled with Payload Removed" "State : Enable Pending" \
                 "State: Enabled" "state : enabled" "Status : Enabled"; do
        export VEXO_DISM_STATE=$state
        expect_check "8 32-bit, dism says '$state'" 6
    done
    # Wine's own dism says nothing at all.
    cp "$saved/dism.exe" "$dism"
    WINEDLLOVERRIDES=${WINEDLLOVERRIDES%;dism.exe=n} expect_check "8 32-bit, dism silent" 6
    log_has "empty answer logged" "CheckNet32 Install Result "
    cp "$VEXO_DISM_STANDIN" "$dism"
    export VEXO_DISM_STATE="State : Disabled"
    set_edition "Windows 10 Home" "6.3"
    expect_check "10 32-bit" 6 WinNet1032Bit

    # 8.1 without the feature: its installer from the version server, run without arguments.
    set_edition "Windows 8.1 Pro" "6.3"
    routes "/dotnet/ver.php file $VEXO_INSTALLER_STANDIN"
    before=$(request_count)
    check "8.1 run" "state=5 name=WinNet8132Bit $finished posted=progress:5:-1 progress:15:-2 progress:30:-1" "$(probe run)"
    check "installer asked for" "10080 GET /dotnet/ver.php?ver=WinNet8132Bit" "$(requests_since "$before")"
    log_has "8.1 line" "windows 8.1 32 bit check net35 install okay"
    log_has "address logged" "downloadURL http://$host:10080/dotnet/ver.php?ver=WinNet8132Bit"
    log_has "install logged" "Install35NetFx now"
    log_has "path logged, where it ran" "install path $(sed -n 1p "$module/WinNet8132Bit.exe.ran")"
    check "run as its own command line" "own folder, gone" "$(ran_from "$module/WinNet8132Bit.exe.ran" WinNet8132Bit.exe)"
    check "only its path" "$(sed -n 2p "$module/WinNet8132Bit.exe.ran")\\WinNet8132Bit.exe" \
        "$(sed -n 1p "$module/WinNet8132Bit.exe.ran")"
    check "installer deleted" "WinNet8132Bit.exe.ran" "$(files)"
    ;;
win10x64)
    export VEXO_DISM_STATE="State : Enabled"
    product=$(sed -n 1p "$edition_saved")
    check "10 64-bit, feature enabled" "state=5 name=WinNet832Bit $finished posted=progress:5:-1 progress:30:-1" \
        "$(probe run)"
    # Every edition check is asked, in order, before the one that holds picks dism.
    want="DotNetFrameworkTask checking framework now"
    for edition in 832 864 8132 8164 1032 1064; do
        want+="|IsWindows${edition}Bit1|current product $product and version 10.0|IsWindows${edition}Bit2"
    done
    want+="|windows 10 64 bit check net35 install okay"
    check "edition checks" "$want" "$(messages | head -n 20 | paste -sd'|')"
    log_has "dism asked" 'RunProgram path C:\windows\system32\cmd.exe and args cmd /C %WINDIR%\sysnative\dism.exe /English /Online /Get-FeatureInfo /FeatureName:NetFX3'
    check "answer follows" "CheckNet32 Install Result Deployment Image Servicing and Management tool" \
        "$(messages | sed -n 22p)"
    log_has "answer logged whole" "State : Enabled"
    # Wine maps "sysnative" to the 64-bit system folder, where the stand-in is.
    check "dism through sysnative" \
        'C:\windows\system32\dism.exe|C:\windows\sysnative\dism.exe /English /Online /Get-FeatureInfo /FeatureName:NetFX3' \
        "$(tr -d '\r' <"$VEXO_DISM_CALLS")"

    # Without the feature, each 64-bit edition asks for its own installer; other systems for 2.0.
    export VEXO_DISM_STATE="State : Disabled"
    for row in "Windows 8 Pro|6.2|WinNet864Bit|windows 8 64 bit" "Windows 8.1 Pro|6.3|WinNet8164Bit|windows 8.1 64 bit" \
               "Windows 10 Pro|6.3|WinNet1064Bit|windows 10 64 bit"; do
        IFS='|' read -r name version installer line <<<"$row"
        set_edition "$name" "$version"
        expect_check "$name $version" 6 "$installer"
        log_has "$name line" "$line check net35 install okay"
    done
    set_edition "Windows Server 2012 R2 Datacenter" "6.3"
    expect_check "server edition" 1
    set_edition "$product" "$(sed -n 2p "$edition_saved")"

    # The version server sends the installer on through a redirect.
    routes "/dotnet/ver.php redirect /files/netfx.exe" "/files/netfx.exe file $VEXO_INSTALLER_STANDIN"
    before=$(request_count)
    check "10 64-bit run" "state=5 name=WinNet1064Bit $finished posted=progress:5:-1 progress:15:-2 progress:30:-1" \
        "$(probe run)"
    check "installer asked for" "10080 GET /dotnet/ver.php?ver=WinNet1064Bit|10080 GET /files/netfx.exe" \
        "$(requests_since "$before" | paste -sd'|')"
    check "run and deleted" "WinNet1064Bit.exe.ran" "$(files)"
    ;;
*)
    echo "unknown cases: $cases" >&2
    exit 2
    ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
