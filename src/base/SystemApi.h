#pragma once
// The installer's run-time look-ups, in one place:
// - functions some supported Windows lack, looked up instead of imported so the installer still
//   loads where they are missing;
// - DLLs that are not known system DLLs, never imported: Windows would look for them beside the
//   installer first, and the installer runs elevated from folders (Downloads) where a web page
//   may have left a DLL of that name. They are loaded at run time from the system folder only.

#include <windows.h>

#include <string>
#include <type_traits>
#include <utility>

enum class SystemFunction {
    GetTickCount64,          // kernel32, Windows Vista
    GetNativeSystemInfo,     // kernel32, Windows XP
    IsWow64Process,          // kernel32, Windows XP SP2
    UpdateLayeredWindow,     // user32, Windows 2000
    SetDefaultDllDirectories,  // kernel32, Windows 8, or 7 and Vista with KB2533623
    SetDllDirectoryW,        // kernel32, Windows XP SP1
    SetFileInformationByHandle,  // kernel32, Windows Vista
    GetFileInformationByHandleEx,  // kernel32, Windows Vista
    GetDpiForWindow,         // user32, Windows 10 1607
    SleepConditionVariableCS,  // kernel32, Windows Vista
    WakeConditionVariable,   // kernel32, Windows Vista
    NtCreateFile,            // ntdll, every Windows: loaded first, but not a known DLL to import from
    RtlNtStatusToDosError,   // ntdll, every Windows
    SetThreadStackGuarantee,  // kernel32, Windows Vista
    LdrLockLoaderLock,       // ntdll, Windows XP
    LdrUnlockLoaderLock,     // ntdll, Windows XP
    NtQueryInformationFile,  // ntdll, every Windows
    NtSetInformationFile,    // ntdll, every Windows
};

// The function's address, or null where this Windows lacks it.
FARPROC LookUpSystemFunction(SystemFunction which) noexcept;

template <typename Fn>
Fn SystemFunctionAs(SystemFunction which) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(LookUpSystemFunction(which)));
}

enum class SystemDll {
    Version,   // file version resources
    WinHttp,   // the reports' HTTP client, the user's proxy settings
    GdiPlus,   // the skin's images; from the side-by-side store the manifest names
    WinTrust,  // Authenticode checks of downloads
    Crypt32,   // the signer's certificate
    OleAcc,    // the window's accessibility object
    ComCtl32,  // the window's tooltips; version 6, from the side-by-side store the manifest names
    RstrtMgr,  // which program holds a file open (Windows Vista and later)
    DbgHelp,   // the fault handler's minidump
};

// The DLL loaded from the system folder (GDI+ through the manifest's assembly), or null.
HMODULE LoadSystemDll(SystemDll dll) noexcept;
FARPROC LookUpSystemDllFunction(SystemDll dll, const char* name) noexcept;

// Where the DLL or the function is missing, calls fail with ERROR_PROC_NOT_FOUND as the last error
// and the result such functions fail with: null, FALSE or zero; an HRESULT (and a LONG status)
// that is an error; a status enumeration's first value past its zero, success. A DWORD stays zero:
// where zero is success (the Restart Manager's), the caller looks the function up first.
template <typename Fn>
struct MissingSystemFunction;
template <typename Result, typename... Args>
struct MissingSystemFunction<Result(WINAPI*)(Args...)> {
    static Result WINAPI Fail(Args...) noexcept {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        if constexpr (std::is_same_v<Result, LONG>) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
        else if constexpr (std::is_enum_v<Result>) return static_cast<Result>(1);
        else if constexpr (!std::is_void_v<Result>) return Result{};
    }
};

template <typename Fn>
Fn SystemDllFunction(SystemDll dll, const char* name) noexcept {
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(LookUpSystemDllFunction(dll, name)));
    return fn != nullptr ? fn : &MissingSystemFunction<Fn>::Fail;
}

// VEXO_SYSTEM_CALL(WinHttp, WinHttpOpen)(agent, ...): the declared function, taken from the DLL
// loaded from the system folder. The declaration is only read for its type: nothing is imported.
#define VEXO_SYSTEM_CALL(dll, function) SystemDllFunction<decltype(&::function)>(SystemDll::dll, #function)
// The same for a function declared in a namespace (GDI+'s).
#define VEXO_SYSTEM_CALL_IN(dll, scope, function) \
    SystemDllFunction<decltype(&scope::function)>(SystemDll::dll, #function)

// What Get/SetFileInformationByHandle(Ex) take (declared by the headers only for Vista and later).
enum FileInformationClass : int { kFileBasicInfo = 0, kFileStandardInfo = 1, kFileRenameInfo = 3, kFileDispositionInfo = 4 };
struct BasicInfo {
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime;  // 0: unchanged
    DWORD fileAttributes;
};
struct DispositionInfo {
    BOOLEAN deleteFile;
};

// True where Windows has them (Vista and later); else the calls below fail with ERROR_PROC_NOT_FOUND.
bool HasFileInformationByHandle() noexcept;
bool GetFileInformationEx(HANDLE file, FileInformationClass kind, void* info, DWORD size) noexcept;
bool SetFileInformation(HANDLE file, FileInformationClass kind, void* info, DWORD size) noexcept;
// Renames what `file` is open on (with DELETE access) to `newPath`, a full path ("\\?\" form or
// not); replaces what has that name only when asked.
bool RenameByHandle(HANDLE file, const std::wstring& newPath, bool replace) noexcept;

// Restricts the DLL search of this process to the system folder where Windows allows it, and
// takes the current folder out of it everywhere else; then loads from the system folder the DLLs
// that system DLLs load late by name. The first thing the installer does.
void RestrictDllSearch() noexcept;
