#!/usr/bin/env bash
# What a run of the installer left behind, read from its Wine prefix (sourced environment:
# WINEPREFIX and friends from tools/wine/wine-env.sh, with its wineserver still running).
#
#   run-summary.sh <stage-dir> <exit-code> <reports.jsonl> [screenshots-dir]
set -uo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
stage=$1 code=$2 reports=$3 shots=${4:-}

# The key's values as the registry holds them (an export keeps the Chinese texts intact).
reg_values() {
    local file
    file=$(mktemp --suffix=.reg)
    if wine reg export "$1" "$(winepath -w "$file")" /y >/dev/null 2>&1; then
        iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | grep '^"'
    fi
    rm -f "$file"
}

entry=$(reg_values 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\kavix')
# The folder the uninstall entry names (a folder given with /D=), else the default one.
folder=$(sed -n 's/^"DisplayIcon"="\(.*\)\\\\ZavozidaDedor\.exe"$/\1/p' <<<"$entry" | sed 's/\\\\/\\/g')
[ -n "$folder" ] || folder="$(wine cmd /c echo %ProgramFiles% 2>/dev/null | tr -d '\r')\\kavix"
folder_unix=$(winepath -u "$folder" 2>/dev/null)
echo
echo "=== installation summary"
if [ -d "$folder_unix" ]; then
    echo "install folder:  $folder ($(find "$folder_unix" -type f | wc -l) files; $folder_unix)"
else
    echo "install folder:  $folder (missing)"
fi
echo "uninstall entry: HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kavix"
if [ -n "$entry" ]; then sed 's/^/                 /' <<<"$entry"; else echo "                 (missing)"; fi
echo "shortcuts:"
found=0
for dir in "$(winepath -u "$(wine cmd /c echo %USERPROFILE%\\Desktop 2>/dev/null | tr -d '\r')" 2>/dev/null)" \
    "$(winepath -u "$(wine cmd /c echo %APPDATA%\\Microsoft\\Windows\\Start Menu\\Programs 2>/dev/null | tr -d '\r')" 2>/dev/null)"; do
    [ -d "$dir" ] || continue
    while IFS= read -r link; do
        echo "                 $link"
        found=1
    done < <(find -L "$dir" -maxdepth 2 -name '*Vexo*.lnk' 2>/dev/null)
done
[ $found -eq 1 ] || echo "                 (none)"
echo "reports:         $(/usr/bin/python3 "$src/tools/stats-server/stats_server.py" --summarize "$reports")"
emulator=no
for pid in $(pgrep -f 'ZavozidaDedor\.exe' 2>/dev/null); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then emulator="yes (pid $pid)"; fi
done
echo "emulator:        started: $emulator"
echo "installer:       exit code $code ($stage)"
echo "log:             $stage/tmp.log"
[ -n "$shots" ] && echo "screenshots:     $shots"
exit 0
