#include "archive/FolderSwap.h"

#include <atomic>
#include <memory>
#include <new>
#include <cwchar>
#include <utility>
#include <vector>

#include "archive/Removal.h"
#include "archive/Unfinished.h"
#include "base/Log.h"
#include "base/Owners.h"

namespace {

constexpr wchar_t kNewSuffix[] = L".~new";
constexpr wchar_t kAsideSuffix[] = L".~old";

// Tries a rename until it works or the time is up; the last error, or ERROR_SUCCESS.
DWORD RenameWithin(const std::wstring& from, const std::wstring& to, DWORD start, DWORD waitMs) {
    for (;;) {
        const DWORD error = RenameItself(from, to);
        if (error == ERROR_SUCCESS || !HeldByAnother(error) || ::GetTickCount() - start >= waitMs) return error;
        ::Sleep(kHeldRetryMs);
    }
}

}  // namespace

bool ClearSwapOf(const std::wstring& folder) {
    const std::wstring fresh = NewFolderOf(folder);
    const std::wstring aside = AsideFolderOf(folder);
    const bool hadNew = Exists(fresh);
    if (!Exists(folder) && Exists(aside)) {
        const DWORD error = RenameItself(aside, folder);
        if (error != ERROR_SUCCESS) {
            LogCallFailed("MoveFileExW", aside, error);
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

namespace {

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
    RecordUnfinished(installPath_);
    if (!::CreateDirectoryW(newFolder_.c_str(), nullptr)) {
        LogCallFailed("CreateDirectoryW", newFolder_, ::GetLastError());
        if (!Exists(newFolder_)) ForgetUnfinished(installPath_);
        return false;
    }
    ::SetFileAttributesW(newFolder_.c_str(), FILE_ATTRIBUTE_HIDDEN);
    begun_ = true;
    return true;
}

bool FolderSwap::Commit(DWORD heldWaitMs, UniqueHandle* afterwards) {
    const bool earlier = Exists(installPath_);
    // The wait starts with the first file found held: a look over a large installation on a slow
    // disk takes seconds of its own.
    DWORD start = 0;
    std::wstring held;
    for (bool waiting = false; earlier && FindHeldFile(installPath_, &held); waiting = true) {
        if (!waiting) start = ::GetTickCount();
        if (waiting && ::GetTickCount() - start >= heldWaitMs) {
            LogHeldFile(held);
            Abandon();
            return false;
        }
        ::Sleep(kHeldRetryMs);
    }
    // Shown again only now, under the install folder's name.
    ::SetFileAttributesW(newFolder_.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (earlier) {
        ArmUndo(installPath_, asideFolder_);
        const DWORD error = RenameWithin(installPath_, asideFolder_, ::GetTickCount(), heldWaitMs);
        if (error != ERROR_SUCCESS) {
            DisarmUndo();
            LogCallFailed("MoveFileExW", installPath_, error);
            LogFormatW(g_log, L"the earlier installation cannot be replaced: %s cannot be moved aside",
                       installPath_.c_str());
            Abandon();
            return false;
        }
        if (hook_) hook_(kAside);
    }
    // By the handle of the folder written, so a link put in its place meanwhile is refused.
    if (const DWORD error = RenameItself(newFolder_, installPath_); error != ERROR_SUCCESS) {
        LogCallFailed("MoveFileExW", newFolder_, error);
        const DWORD back = earlier ? RenameItself(asideFolder_, installPath_) : ERROR_SUCCESS;
        DisarmUndo();
        if (back == ERROR_SUCCESS) {
            Abandon();
            return false;
        }
        // The record stays: the next start puts it back.
        LogCallFailed("MoveFileExW", asideFolder_, back);
        begun_ = false;
        return false;
    }
    DisarmUndo();
    begun_ = false;
    if (hook_) hook_(kInPlace);
    if (!earlier) {
        ForgetUnfinished(installPath_);
        return true;
    }
    // Removing the earlier folder takes longer than the swap itself: it goes on while the
    // installation does, and the runner waits for it before it reports the end.
    auto* work = new (std::nothrow) std::wstring(installPath_);
    if (work != nullptr) afterwards->reset(::CreateThread(nullptr, 0, RemoveAside, work, 0, nullptr));
    if (!*afterwards) RemoveAside(work);
    return true;
}

DWORD WINAPI FolderSwap::RemoveAside(void* installPath) {
    // Without a copy of the path (no memory), the next start removes it.
    const std::unique_ptr<std::wstring> folder(static_cast<std::wstring*>(installPath));
    // What cannot go yet keeps the record, and the next start tries again.
    if (folder && RemoveLeftover(AsideFolderOf(*folder))) ForgetUnfinished(*folder);
    return 0;
}

void FolderSwap::Abandon() {
    begun_ = false;
    if (RemoveLeftover(newFolder_)) ForgetUnfinished(installPath_);
}

void UndoSwapInProgress() noexcept {
    if (swapUndo.armed.exchange(0) == 0) return;
    // Only between the renames: the install folder is missing and the earlier one is aside.
    if (::GetFileAttributesW(swapUndo.folder) == INVALID_FILE_ATTRIBUTES)
        ::MoveFileExW(swapUndo.aside, swapUndo.folder, 0);
}
