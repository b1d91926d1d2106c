#!/usr/bin/env bash
# The installer must run from its folder alone on Windows XP to 10: a 32-bit GUI program whose
# every imported DLL is one Windows itself provides (checked against the Wine prefix's system
# folder), importing no function newer than XP. Functions the program uses only where Windows
# offers them must be looked up at run time, never imported. And it imports only known system
# DLLs, which Windows always takes from its system folder: any other would first be looked for
# beside the program, in a folder (Downloads) where anyone may have left a DLL of that name.
set -euo pipefail
exe=$1
sysdir=$2

newer_than_xp=(
    GetTickCount64 InitializeConditionVariable SleepConditionVariableCS SleepConditionVariableSRW
    WakeConditionVariable WakeAllConditionVariable InitializeSRWLock AcquireSRWLockExclusive
    AcquireSRWLockShared ReleaseSRWLockExclusive ReleaseSRWLockShared TryAcquireSRWLockExclusive
    InitOnceExecuteOnce InitOnceBeginInitialize InitOnceComplete FlsAlloc FlsFree FlsGetValue FlsSetValue
    GetFileInformationByHandleEx SetFileInformationByHandle CreateSymbolicLinkW GetFinalPathNameByHandleW
    InitializeCriticalSectionEx CompareStringEx LCIDToLocaleName LocaleNameToLCID GetLocaleInfoEx
    GetUserDefaultLocaleName QueryFullProcessImageNameW GetErrorMode RegGetValueW RegDeleteTreeW
    RegSetKeyValueW SHGetKnownFolderPath CancelIoEx CreateEventExW CreateMutexExW CreateSemaphoreExW
    GetThreadId Wow64DisableWow64FsRedirection Wow64RevertWow64FsRedirection
)
looked_up_at_run_time=(IsWow64Process GetNativeSystemInfo UpdateLayeredWindow SetDefaultDllDirectories)
# Windows 7 to 10's known DLLs (and the C runtime, always taken from the system folder).
known_dlls=(advapi32 comdlg32 gdi32 imagehlp kernel32 msvcrt ole32 oleaut32 psapi rpcrt4 setupapi shell32 shlwapi
            user32 ws2_32 wldap32 normaliz nsi sechost difxapi clbcatq)

grep -q 'file format pei-i386' <<<"$(i686-w64-mingw32-objdump -f "$exe")" || { echo "not a 32-bit PE: $exe"; exit 1; }
dump=$(i686-w64-mingw32-objdump -p "$exe")
grep -qE 'Subsystem\s+00000002' <<<"$dump" || { echo "not a GUI subsystem program"; exit 1; }

status=0
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
for dll in $dlls; do
    if [ -z "$(find "$sysdir" -maxdepth 1 -iname "$dll" -print -quit)" ]; then
        echo "imports $dll, which Windows does not provide"
        status=1
    fi
    base=$(tr '[:upper:]' '[:lower:]' <<<"${dll%.*}")
    if [[ " ${known_dlls[*]} " != *" $base "* ]]; then
        echo "imports $dll, which is not a known system DLL: load it at run time from the system folder"
        status=1
    fi
done
# Import rows look like "<hint-rva> <hint> <name>" inside the import tables.
functions=$(sed -n '/DLL Name:/,/^$/p' <<<"$dump" | awk 'NF == 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
for f in "${newer_than_xp[@]}"; do
    grep -qx "$f" <<<"$functions" && { echo "imports $f, which Windows XP lacks"; status=1; }
done
for f in "${looked_up_at_run_time[@]}"; do
    grep -qx "$f" <<<"$functions" && { echo "imports $f, which must be looked up at run time"; status=1; }
done
[ -n "$functions" ] || { echo "no imported functions found: cannot check"; exit 1; }
[ $status -eq 0 ] && echo "imports $(wc -l <<<"$functions") functions from: $(tr '\n' ' ' <<<"$dlls")"
exit $status
