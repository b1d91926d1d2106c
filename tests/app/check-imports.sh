#!/usr/bin/env bash
# The installer must run from its folder alone on Windows XP to 10: a 32-bit GUI program whose
# every imported DLL is one Windows itself provides (checked against the Wine prefix's system
# folder), importing no function newer than XP. Functions the program uses only where Windows
# offers them must be looked up at run time, never imported.
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
looked_up_at_run_time=(IsWow64Process GetNativeSystemInfo UpdateLayeredWindow)

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
