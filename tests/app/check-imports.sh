#!/usr/bin/env bash
# The installer must run from its folder alone: a 32-bit GUI program whose every imported
# DLL is one Windows itself provides (checked against the Wine prefix's system folder).
set -euo pipefail
exe=$1
sysdir=$2
dump=$(i686-w64-mingw32-objdump -p "$exe")
grep -q 'file format pei-i386' <<<"$(i686-w64-mingw32-objdump -f "$exe")" || { echo "not a 32-bit PE: $exe"; exit 1; }
grep -qE 'Subsystem\s+00000002' <<<"$dump" || { echo "not a GUI subsystem program"; exit 1; }
status=0
while read -r dll; do
    if [ -z "$(find "$sysdir" -maxdepth 1 -iname "$dll" -print -quit)" ]; then
        echo "imports $dll, which Windows does not provide"
        status=1
    fi
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
[ $status -eq 0 ] && echo "imports: $(sed -n 's/^\s*DLL Name: //p' <<<"$dump" | tr '\n' ' ')"
exit $status
