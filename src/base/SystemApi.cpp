#include "base/SystemApi.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct SystemFunctionEntry {
    SystemFunction which;
    const wchar_t* module;  // always loaded: the installer imports from them, and ntdll is every process's
    const char* name;
};

constexpr SystemFunctionEntry kSystemFunctions[] = {
    {SystemFunction::GetTickCount64, L"kernel32.dll", "GetTickCount64"},
    {SystemFunction::GetNativeSystemInfo, L"kernel32.dll", "GetNativeSystemInfo"},
    {SystemFunction::IsWow64Process, L"kernel32.dll", "IsWow64Process"},
    {SystemFunction::UpdateLayeredWindow, L"user32.dll", "UpdateLayeredWindow"},
    {SystemFunction::SetDefaultDllDirectories, L"kernel32.dll", "SetDefaultDllDirectories"},
    {SystemFunction::SetDllDirectoryW, L"kernel32.dll", "SetDllDirectoryW"},
    {SystemFunction::SetFileInformationByHandle, L"kernel32.dll", "SetFileInformationByHandle"},
    {SystemFunction::GetFileInformationByHandleEx, L"kernel32.dll", "GetFileInformationByHandleEx"},
    {SystemFunction::GetDpiForWindow, L"user32.dll", "GetDpiForWindow"},
    {SystemFunction::SleepConditionVariableCS, L"kernel32.dll", "SleepConditionVariableCS"},
    {SystemFunction::WakeConditionVariable, L"kernel32.dll", "WakeConditionVariable"},
    {SystemFunction::NtCreateFile, L"ntdll.dll", "NtCreateFile"},
    {SystemFunction::RtlNtStatusToDosError, L"ntdll.dll", "RtlNtStatusToDosError"},
    {SystemFunction::SetThreadStackGuarantee, L"kernel32.dll", "SetThreadStackGuarantee"},
    {SystemFunction::LdrLockLoaderLock, L"ntdll.dll", "LdrLockLoaderLock"},
    {SystemFunction::LdrUnlockLoaderLock, L"ntdll.dll", "LdrUnlockLoaderLock"},
    {SystemFunction::NtQueryInformationFile, L"ntdll.dll", "NtQueryInformationFile"},
    {SystemFunction::NtSetInformationFile, L"ntdll.dll", "NtSetInformationFile"},
};

struct SystemDllEntry {
    SystemDll which;
    const wchar_t* file;
    bool sideBySide;  // found through the manifest's assembly reference, not in the system folder
};

constexpr SystemDllEntry kSystemDlls[] = {
    {SystemDll::Version, L"version.dll", false},   {SystemDll::WinHttp, L"winhttp.dll", false},
    {SystemDll::GdiPlus, L"gdiplus.dll", true},    {SystemDll::WinTrust, L"wintrust.dll", false},
    {SystemDll::Crypt32, L"crypt32.dll", false},   {SystemDll::OleAcc, L"oleacc.dll", false},
    {SystemDll::ComCtl32, L"comctl32.dll", true},  {SystemDll::RstrtMgr, L"rstrtmgr.dll", false},
    {SystemDll::DbgHelp, L"dbghelp.dll", false},
};
constexpr size_t kSystemDllCount = std::size(kSystemDlls);

HMODULE LoadFromSystemFolder(const wchar_t* file) noexcept {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    const std::wstring path = std::wstring(folder, length) + L"\\" + file;
    // Its own dependencies are looked for beside it, in the system folder, too.
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE Load(const SystemDllEntry& entry) noexcept {
    // By name, a side-by-side DLL comes from the assembly the manifest names, which Windows
    // looks up before any folder.
    return entry.sideBySide ? ::LoadLibraryW(entry.file) : LoadFromSystemFolder(entry.file);
}

// DLLs that system DLLs the installer uses load late, by name, and that are not known DLLs. Where the
// search is not restricted (Windows XP, Vista and 7 without SetDefaultDllDirectories) such a load
// looks beside the installer first, and so does a delay load under Wine even where it is (measured:
// GDI+ and WinHTTP took planted copies of the first seven). Loaded from the system folder first,
// each later load by name finds the DLL loaded. One missing on this Windows is skipped.
constexpr const wchar_t* kPreloadedDlls[] = {
    L"windowscodecs.dll",  // GDI+ decoding the skin's images
    L"iphlpapi.dll",       // WinHTTP: the reports, the proxy settings
    L"dnsapi.dll",         // WinHTTP, through iphlpapi
    L"nsi.dll",            // iphlpapi
    L"dhcpcsvc.dll",       // WinHTTP finding a proxy script (DHCP)
    L"bcrypt.dll",         // WinHTTP and crypt32
    L"crypt32.dll",        // WinHTTP (certificates), the signature checks
    L"uxtheme.dll",        // common controls 6, the window's theme
    L"dwmapi.dll",         // the theme and the window manager (Vista and later)
    L"version.dll",        // the shell, starting programs
    L"apphelp.dll",        // starting programs: compatibility checks (Vista and later)
    L"propsys.dll",        // the shell (Vista and later)
    L"cryptbase.dll",      // advapi32's encryption (Windows 7)
    L"userenv.dll",        // the shell's folders
    L"profapi.dll",        // the shell's folders (Windows 7 and later)
    L"ntmarta.dll",        // advapi32's security functions
};

}  // namespace

FARPROC LookUpSystemFunction(SystemFunction which) noexcept {
    for (const auto& entry : kSystemFunctions) {
        if (entry.which != which) continue;
        const HMODULE module = ::GetModuleHandleW(entry.module);
        return module != nullptr ? ::GetProcAddress(module, entry.name) : nullptr;
    }
    return nullptr;
}

HMODULE LoadSystemDll(SystemDll dll) noexcept {
    // Loaded once and kept for the life of the process; a failed load is tried again next time.
    static std::atomic<HMODULE> loaded[kSystemDllCount] = {};
    for (size_t i = 0; i < kSystemDllCount; ++i) {
        if (kSystemDlls[i].which != dll) continue;
        HMODULE module = loaded[i].load();
        if (module == nullptr) {
            module = Load(kSystemDlls[i]);
            if (module != nullptr) loaded[i] = module;
        }
        return module;
    }
    return nullptr;
}

FARPROC LookUpSystemDllFunction(SystemDll dll, const char* name) noexcept {
    const HMODULE module = LoadSystemDll(dll);
    return module != nullptr ? ::GetProcAddress(module, name) : nullptr;
}

namespace {

using FileInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);

}  // namespace

bool HasFileInformationByHandle() noexcept {
    return LookUpSystemFunction(SystemFunction::SetFileInformationByHandle) != nullptr;
}

bool GetFileInformationEx(HANDLE file, FileInformationClass kind, void* info, DWORD size) noexcept {
    const auto get = SystemFunctionAs<FileInformationFn>(SystemFunction::GetFileInformationByHandleEx);
    if (get == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    return get(file, kind, info, size) != FALSE;
}

bool SetFileInformation(HANDLE file, FileInformationClass kind, void* info, DWORD size) noexcept {
    const auto set = SystemFunctionAs<FileInformationFn>(SystemFunction::SetFileInformationByHandle);
    if (set == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }
    return set(file, kind, info, size) != FALSE;
}

bool RenameByHandle(HANDLE file, const std::wstring& newPath, bool replace) noexcept {
    // FILE_RENAME_INFO, the new name as the system's own path: the call hands it on as it is.
    struct RenameInfo {
        BOOL replaceIfExists;
        HANDLE rootDirectory;
        DWORD fileNameLength;
        wchar_t fileName[1];
    };
    const std::wstring name =
        newPath.compare(0, 4, L"\\\\?\\") == 0 ? L"\\??\\" + newPath.substr(4) : L"\\??\\" + newPath;
    const size_t bytes = offsetof(RenameInfo, fileName) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<unsigned char> buffer(bytes);
    auto* info = reinterpret_cast<RenameInfo*>(buffer.data());
    info->replaceIfExists = replace ? TRUE : FALSE;
    info->rootDirectory = nullptr;
    info->fileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(info->fileName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return SetFileInformation(file, kFileRenameInfo, info, static_cast<DWORD>(bytes));
}

namespace {

void RestrictSearchPath() noexcept {
    using SetDefaultFn = BOOL(WINAPI*)(DWORD);
    using SetDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
    constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
    if (const auto setDefault = SystemFunctionAs<SetDefaultFn>(SystemFunction::SetDefaultDllDirectories)) {
        if (setDefault(kSearchSystem32)) return;
    }
    // Older Windows: at least the current folder leaves the search.
    if (const auto setDirectory = SystemFunctionAs<SetDirectoryFn>(SystemFunction::SetDllDirectoryW))
        setDirectory(L"");
}

}  // namespace

void RestrictDllSearch() noexcept {
    // The search first: what the preloaded DLLs load by name as they start is searched so too.
    RestrictSearchPath();
    // Kept for the life of the process; a failed load is ignored (not every Windows has each).
    for (const wchar_t* file : kPreloadedDlls) LoadFromSystemFolder(file);
}
