#include "archive/FolderSwap.h"

#include <restartmanager.h>

#include <atomic>
#include <cwchar>
#include <utility>
#include <vector>

#include "archive/Removal.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/SystemApi.h"

namespace {

constexpr wchar_t kNewSuffix[] = L".~new";
constexpr wchar_t kAsideSuffix[] = L".~old";

// What the record says the run was doing when it was last written.
constexpr DWORD kRecordExtracting = 1;
constexpr DWORD kRecordSwapping = 2;

// How often a held file is looked at again while the wait lasts.
constexpr DWORD kHeldRetryMs = 200;

std::wstring WithoutTrailingSlashes(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The record lives under the local machine, which only administrators write: a program of the
// user's cannot make the elevated installer rename or remove folders by planting one.
void Record(const std::wstring& folder, DWORD step) {
    UniqueRegKey key;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUnfinishedSwapsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE, nullptr, key.out(), nullptr);
    if (result == ERROR_SUCCESS)
        result = ::RegSetValueExW(key.get(), folder.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&step),
                                  sizeof step);
    if (result != ERROR_SUCCESS) LogCallFailed("RegSetValueExW", folder, static_cast<DWORD>(result));
}

void Forget(const std::wstring& folder) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUnfinishedSwapsKey, 0, KEY_SET_VALUE, key.out()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.get(), folder.c_str());
}

std::vector<std::wstring> RecordedFolders() {
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

// Files in use leave for the temp folder and go at the next restart, as an uninstall's do.
bool RemoveLeftover(const std::wstring& folder) {
    RemovalOptions options;
    options.moveOutInUse = true;
    return Removal(folder, options).RemoveRoot();
}

// The programs the Restart Manager says hold `file` open, for the log; empty where Windows
// cannot say (XP has no Restart Manager).
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

// The first file below `folder` another program holds open. Windows will not rename a folder with
// such a file in it; looking first names the file, and behaves so where renaming would not refuse.
bool FindHeldFile(const std::wstring& folder, std::wstring* held) {
    std::vector<std::wstring> pending{folder};
    while (!pending.empty()) {
        const std::wstring dir = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW found = {};
        const UniqueFind find(::FindFirstFileW((dir + L"\\*").c_str(), &found));
        if (!find) continue;
        do {
            if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
            const std::wstring path = dir + L"\\" + found.cFileName;
            // A link moves as itself: what it leads to is not the installation's.
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending.push_back(path);
                continue;
            }
            // Sharing nothing: any other open of the file refuses this one.
            const UniqueFile file(
                ::CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!file && ::GetLastError() == ERROR_SHARING_VIOLATION) {
                *held = path;
                return true;
            }
        } while (::FindNextFileW(find.get(), &found));
    }
    return false;
}

// Tries a rename until it works or the time is up; the last error stays for the caller.
bool MoveWithin(const std::wstring& from, const std::wstring& to, DWORD start, DWORD waitMs) {
    for (;;) {
        if (::MoveFileExW(from.c_str(), to.c_str(), 0)) return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return false;
        if (::GetTickCount() - start >= waitMs) return false;
        ::Sleep(kHeldRetryMs);
        ::SetLastError(error);
    }
}

// Undoes or finishes a swap of `folder` that a run left; true when nothing of it is left beside
// the folder. Before the new folder was renamed into place, the earlier installation goes back;
// after it, only the earlier one's leftovers remain.
bool ClearSwapOf(const std::wstring& folder) {
    const std::wstring fresh = NewFolderOf(folder);
    const std::wstring aside = AsideFolderOf(folder);
    const bool hadNew = Exists(fresh);
    if (!Exists(folder) && Exists(aside)) {
        if (!::MoveFileExW(aside.c_str(), folder.c_str(), 0)) {
            LogCallFailed("MoveFileExW", aside, ::GetLastError());
            return false;
        }
        LogFormatW(g_log, L"an interrupted installation into %s was undone: the earlier installation is back",
                   folder.c_str());
    } else if (hadNew || Exists(aside)) {
        LogFormatW(g_log, L"an interrupted installation into %s left folders beside it: removed", folder.c_str());
    }
    bool cleared = true;
    if (hadNew) cleared &= RemoveLeftover(fresh);
    if (Exists(aside)) cleared &= RemoveLeftover(aside);
    return cleared;
}

// What the fault handler needs to put the earlier installation back, kept where it can read it
// without allocating: the only state of the swap outside its object.
constexpr size_t kUndoChars = 1024;
struct SwapUndo {
    std::atomic<LONG> armed{0};
    wchar_t folder[kUndoChars];
    wchar_t aside[kUndoChars];
};
SwapUndo swapUndo;

void ArmUndo(const std::wstring& folder, const std::wstring& aside) {
    if (folder.size() >= kUndoChars || aside.size() >= kUndoChars) return;
    std::wmemcpy(swapUndo.folder, folder.c_str(), folder.size() + 1);
    std::wmemcpy(swapUndo.aside, aside.c_str(), aside.size() + 1);
    swapUndo.armed = 1;
}

void DisarmUndo() { swapUndo.armed = 0; }

}  // namespace

std::wstring NewFolderOf(const std::wstring& installPath) { return WithoutTrailingSlashes(installPath) + kNewSuffix; }
std::wstring AsideFolderOf(const std::wstring& installPath) {
    return WithoutTrailingSlashes(installPath) + kAsideSuffix;
}

FolderSwap::FolderSwap(std::wstring installPath, StepHook hook)
    : installPath_(WithoutTrailingSlashes(std::move(installPath))),
      newFolder_(NewFolderOf(installPath_)),
      asideFolder_(AsideFolderOf(installPath_)),
      hook_(std::move(hook)) {}

FolderSwap::~FolderSwap() {
    if (begun_) Abandon();
}

bool FolderSwap::Begin() {
    // Recorded first: a run ended at any moment from here on is cleared by the next start.
    (void)ClearSwapOf(installPath_);
    Record(installPath_, kRecordExtracting);
    if (!::CreateDirectoryW(newFolder_.c_str(), nullptr)) {
        LogCallFailed("CreateDirectoryW", newFolder_, ::GetLastError());
        if (!Exists(newFolder_)) Forget(installPath_);
        return false;
    }
    ::SetFileAttributesW(newFolder_.c_str(), FILE_ATTRIBUTE_HIDDEN);
    begun_ = true;
    return true;
}

bool FolderSwap::Commit(DWORD heldWaitMs) {
    const DWORD start = ::GetTickCount();
    const bool earlier = Exists(installPath_);
    std::wstring held;
    while (earlier && FindHeldFile(installPath_, &held)) {
        if (::GetTickCount() - start >= heldWaitMs) {
            const std::wstring holders = HoldersOf(held);
            LogFormatW(g_log, L"the earlier installation cannot be replaced: %s is held open by another program%s%s%s",
                       held.c_str(), holders.empty() ? L"" : L" (", holders.c_str(), holders.empty() ? L"" : L")");
            Abandon();
            return false;
        }
        ::Sleep(kHeldRetryMs);
    }
    // Shown again only now, under the install folder's name.
    ::SetFileAttributesW(newFolder_.c_str(), FILE_ATTRIBUTE_NORMAL);
    Record(installPath_, kRecordSwapping);
    if (earlier) {
        ArmUndo(installPath_, asideFolder_);
        if (!MoveWithin(installPath_, asideFolder_, start, heldWaitMs)) {
            DisarmUndo();
            LogCallFailed("MoveFileExW", installPath_, ::GetLastError());
            LogFormatW(g_log, L"the earlier installation cannot be replaced: %s cannot be moved aside",
                       installPath_.c_str());
            Abandon();
            return false;
        }
        if (hook_) hook_(kAside);
    }
    if (!::MoveFileExW(newFolder_.c_str(), installPath_.c_str(), 0)) {
        LogCallFailed("MoveFileExW", newFolder_, ::GetLastError());
        if (earlier && !::MoveFileExW(asideFolder_.c_str(), installPath_.c_str(), 0)) {
            // The record stays: the next start puts it back.
            LogCallFailed("MoveFileExW", asideFolder_, ::GetLastError());
            DisarmUndo();
            begun_ = false;
            return false;
        }
        DisarmUndo();
        Abandon();
        return false;
    }
    DisarmUndo();
    begun_ = false;
    if (hook_) hook_(kInPlace);
    // What cannot go yet keeps the record, and the next start tries again.
    if (!earlier || RemoveLeftover(asideFolder_)) Forget(installPath_);
    return true;
}

void FolderSwap::Abandon() {
    begun_ = false;
    if (RemoveLeftover(newFolder_)) Forget(installPath_);
}

void ClearUnfinishedSwaps() {
    const std::vector<std::wstring> folders = RecordedFolders();
    if (folders.empty()) return;
    InitLog();
    for (const std::wstring& folder : folders)
        if (ClearSwapOf(folder)) Forget(folder);
}

void UndoSwapInProgress() noexcept {
    if (swapUndo.armed.exchange(0) == 0) return;
    // Only between the renames: the install folder is missing and the earlier one is aside.
    if (::GetFileAttributesW(swapUndo.folder) == INVALID_FILE_ATTRIBUTES)
        ::MoveFileExW(swapUndo.aside, swapUndo.folder, 0);
}
