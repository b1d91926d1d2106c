#include "archive/Unfinished.h"

#include <restartmanager.h>

#include <cstddef>
#include <cwchar>


#include "archive/FilesAside.h"
#include "archive/FilesBelow.h"
#include "archive/FolderRemoval.h"
#include "archive/FolderSwap.h"
#include "archive/HeldWay.h"
#include "archive/Removal.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/SystemApi.h"

namespace {

// The programs the Restart Manager says hold `file` open; empty where Windows cannot say.
std::wstring HoldersOf(const std::wstring& file) {
    if (LookUpSystemDllFunction(SystemDll::RstrtMgr, "RmStartSession") == nullptr) return {};
    DWORD session = 0;
    wchar_t key[CCH_RM_SESSION_KEY + 1] = {};
    if (VEXO_SYSTEM_CALL(RstrtMgr, RmStartSession)(&session, 0, key) != ERROR_SUCCESS) return {};
    std::wstring holders;
    LPCWSTR files[] = {file.c_str()};
    if (VEXO_SYSTEM_CALL(RstrtMgr, RmRegisterResources)(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        RM_PROCESS_INFO found[4] = {};
        UINT needed = 0, count = 4;
        DWORD reasons = 0;
        const DWORD result = VEXO_SYSTEM_CALL(RstrtMgr, RmGetList)(session, &needed, &count, found, &reasons);
        if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
            for (UINT i = 0; i < count && i < 4; ++i) {
                if (!holders.empty()) holders += L", ";
                holders += found[i].strAppName;
                holders += L" (process " + std::to_wstring(found[i].Process.dwProcessId) + L")";
            }
        }
    }
    VEXO_SYSTEM_CALL(RstrtMgr, RmEndSession)(session);
    return holders;
}

}  // namespace

std::wstring WithoutTrailingSlashes(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

// The record's value: 1 while a run may still have to be undone, 2 once it has succeeded.
constexpr DWORD kRunning = 1;
constexpr DWORD kCommitted = 2;

void RecordUnfinished(const std::wstring& installPath, bool committed) {
    UniqueRegKey key;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUnfinishedSwapsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE, nullptr, key.out(), nullptr);
    const DWORD one = committed ? kCommitted : kRunning;
    if (result == ERROR_SUCCESS)
        result = ::RegSetValueExW(key.get(), installPath.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                                  sizeof one);
    if (result != ERROR_SUCCESS) LogCallFailed("RegSetValueExW", installPath, static_cast<DWORD>(result));
}

bool UnfinishedCommitted(const std::wstring& installPath) {
    UniqueRegKey key;
    DWORD state = 0, size = sizeof state, type = 0;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUnfinishedSwapsKey, 0, KEY_QUERY_VALUE, key.out()) == ERROR_SUCCESS &&
           ::RegQueryValueExW(key.get(), installPath.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&state),
                              &size) == ERROR_SUCCESS &&
           type == REG_DWORD && state == kCommitted;
}

void ForgetUnfinished(const std::wstring& installPath) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUnfinishedSwapsKey, 0, KEY_SET_VALUE, key.out()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.get(), installPath.c_str());
}

std::vector<std::wstring> UnfinishedFolders() {
    std::vector<std::wstring> folders;
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUnfinishedSwapsKey, 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS)
        return folders;
    std::vector<wchar_t> name(32768);
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(name.size());
        if (::RegEnumValueW(key.get(), i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        folders.emplace_back(name.data(), length);
    }
    return folders;
}

bool RemoveLeftover(const std::wstring& folder) {
    RemovalOptions options;
    options.moveOutInUse = true;
    return Removal(folder, options).RemoveRoot();
}

bool FindHeldFile(const std::wstring& folder, std::wstring* held) {
    return !VisitFilesBelow(folder, [held](const std::wstring& path, const WIN32_FIND_DATAW&) {
        // Sharing nothing: any other open of the file refuses this one.
        const UniqueFile file(
            ::CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (file || ::GetLastError() != ERROR_SHARING_VIOLATION) return true;
        *held = path;
        return false;
    });
}

DWORD RenameItself(const std::wstring& from, const std::wstring& to) {
    UniqueFile item(::CreateFileW(from.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!item) return ::GetLastError();
    DWORD held = 0;
    if (!HandleAttributes(item.get(), &held)) return ::GetLastError();
    // Under Wine a handle shows what a unix link leads to; only the path shows the link.
    const DWORD byPath = ::GetFileAttributesW(from.c_str());
    if (byPath == INVALID_FILE_ATTRIBUTES || ((held | byPath) & FILE_ATTRIBUTE_REPARSE_POINT)) return kLinkRefused;
    if (!HasFileInformationByHandle()) {
        item.reset();
        return ::MoveFileExW(from.c_str(), to.c_str(), 0) ? ERROR_SUCCESS : ::GetLastError();
    }
    return RenameByHandle(item.get(), to, false) ? ERROR_SUCCESS : ::GetLastError();
}

void LogHeldFile(const std::wstring& file) {
    const std::wstring holders = HoldersOf(file);
    LogFormatW(g_log, L"the earlier installation cannot be replaced: %s is held open by another program%s%s%s",
               file.c_str(), holders.empty() ? L"" : L" (", holders.c_str(), holders.empty() ? L"" : L")");
}

void ClearUnfinishedSwaps() {
    const std::vector<std::wstring> folders = UnfinishedFolders();
    if (folders.empty()) return;
    InitLog();
    for (const std::wstring& folder : folders) {
        // Only the product's folder is swapped whole: beside any other may be the user's own folders.
        const bool cleared = IsProductFolder(folder) ? ClearSwapOf(folder) : RestoreFilesAside(folder);
        if (cleared) ForgetUnfinished(folder);
    }
}
