#include "archive/FilesAside.h"

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

#include "archive/FolderRemoval.h"
#include "archive/HeldWay.h"
#include "archive/InstallList.h"
#include "archive/PayloadTargets.h"
#include "archive/PreviousInstall.h"
#include "archive/Removal.h"
#include "archive/Unfinished.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"

namespace {

// Inside the aside folder: the moved files at their places (and the list of what the run makes).
constexpr wchar_t kMovedFolder[] = L"\\files";

// Relative paths by their depth: shallowest first, or deepest first.
void SortByDepth(std::vector<std::wstring>* paths, bool deepestFirst) {
    const auto depth = [](const std::wstring& path) { return std::count(path.begin(), path.end(), L'\\'); };
    std::stable_sort(paths->begin(), paths->end(), [&](const std::wstring& a, const std::wstring& b) {
        return deepestFirst ? depth(a) > depth(b) : depth(a) < depth(b);
    });
}

// Moves `relative` from below `from` to the same place below `to`, making the folders it needs
// there. Both ways are held while it moves, so neither can be turned into a link meanwhile: the
// elevated installer never moves a file from, or into, a place it did not look at.
DWORD MoveHeld(const std::wstring& from, const std::wstring& to, const std::wstring& relative) {
    const std::vector<std::wstring> parts = SplitComponents(relative);
    if (parts.empty()) return ERROR_INVALID_NAME;
    HeldWay source(from), target(to);
    const HeldWay::State held = source.Hold(parts, parts.size() - 1);
    if (held != HeldWay::kHeld) return held == HeldWay::kAbsent ? ERROR_PATH_NOT_FOUND : kLinkRefused;
    for (size_t level = 0; level < parts.size(); ++level)
        if (target.Hold(parts, level, true) != HeldWay::kHeld) return kLinkRefused;
    return RenameItself(from + L"\\" + relative, to + L"\\" + relative);
}

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Moves everything below `moved` back into the install folder: what the run made at a name of the
// earlier installation goes first, and a folder there already is gone into.
bool MoveBack(const std::wstring& installPath, const std::wstring& moved, const std::wstring& relative = L"") {
    std::vector<std::wstring> names;
    {
        WIN32_FIND_DATAW found = {};
        const std::wstring dir = relative.empty() ? moved : moved + L"\\" + relative;
        const UniqueFind find(::FindFirstFileW((dir + L"\\*").c_str(), &found));
        if (!find) return true;
        do {
            if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
                names.emplace_back(found.cFileName);
        } while (::FindNextFileW(find.get(), &found));
    }
    bool back = true;
    Removal removal(installPath);
    for (const std::wstring& name : names) {
        const std::wstring item = relative.empty() ? name : relative + L"\\" + name;
        const DWORD here = ::GetFileAttributesW((installPath + L"\\" + item).c_str());
        const DWORD there = ::GetFileAttributesW((moved + L"\\" + item).c_str());
        const auto isFolder = [](DWORD a) {
            return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT);
        };
        // Nothing the run moved aside is a link: one there was put there by someone else.
        if (IsLink(there)) continue;
        if (isFolder(here) && isFolder(there)) {
            back &= MoveBack(installPath, moved, item);
            continue;
        }
        if (here != INVALID_FILE_ATTRIBUTES) {
            const bool gone = isFolder(here) ? removal.RemoveFolder(item) : removal.RemoveFile(item);
            if (!gone) {
                back = false;
                continue;
            }
        }
        const DWORD error = MoveHeld(moved, installPath, item);
        if (error != ERROR_SUCCESS) {
            LogCallFailed("MoveFileExW", moved + L"\\" + item, error);
            back = false;
        }
    }
    return back;
}

}  // namespace

std::wstring FilesAsideFolderOf(const std::wstring& installPath) {
    return WithoutTrailingSlashes(installPath) + L"\\" + kProductFolderName + L".~old";
}

FilesAside::FilesAside(std::wstring installPath, std::wstring payloadPath)
    : installPath_(WithoutTrailingSlashes(std::move(installPath))), payloadPath_(std::move(payloadPath)) {}

FilesAside::~FilesAside() {
    if (begun_) Restore();
}

bool FilesAside::Begin(DWORD heldWaitMs) {
    (void)RestoreFilesAside(installPath_);
    // A folder just chosen or made holds nothing to move, nor anything at the payload's names.
    const bool empty = !HoldsAnything(installPath_);
    const std::wstring aside = FilesAsideFolderOf(installPath_);
    RecordUnfinished(installPath_);
    if (!::CreateDirectoryW(aside.c_str(), nullptr) || !::CreateDirectoryW((aside + kMovedFolder).c_str(), nullptr)) {
        LogCallFailed("CreateDirectoryW", aside + kMovedFolder, ::GetLastError());
        if (RemoveLeftover(aside)) ForgetUnfinished(installPath_);
        return false;
    }
    ::SetFileAttributesW(aside.c_str(), FILE_ATTRIBUTE_HIDDEN);
    begun_ = true;
    if (!empty && !MoveEarlierAside(heldWaitMs)) {
        Restore();
        return false;
    }
    NoteWhatIsMade(empty);
    return true;
}

bool FilesAside::MoveEarlierAside(DWORD heldWaitMs) {
    const std::wstring moved = FilesAsideFolderOf(installPath_) + kMovedFolder;
    const DWORD start = ::GetTickCount();
    bool held = false;
    // One at a time, as it is named: a payload's names can take tens of megabytes.
    const auto moveAside = [&](const std::wstring& relative) {
        const std::wstring path = installPath_ + L"\\" + relative;
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (held || attributes == INVALID_FILE_ATTRIBUTES) return;
        // A link stays where it is, as the removal leaves one it cannot remove by itself: moving
        // it would move what it leads to under Wine.
        if (IsLink(attributes)) {
            LogCallFailed("MoveFileExW (a junction or symbolic link stays)", path, kLinkRefused);
            return;
        }
        for (;;) {
            std::wstring inUse;
            const DWORD error = (attributes & FILE_ATTRIBUTE_DIRECTORY) && FindHeldFile(path, &inUse)
                                    ? ERROR_SHARING_VIOLATION
                                    : MoveHeld(installPath_, moved, relative);
            if (error == ERROR_SUCCESS || IsNotFound(error)) return;
            // A way through a link is never followed, as the removal never follows one; the rest
            // still moves.
            if (error == kLinkRefused) {
                LogCallFailed("MoveFileExW (a junction or symbolic link on the way)", path, error);
                return;
            }
            if (!HeldByAnother(error) || ::GetTickCount() - start >= heldWaitMs) {
                if (HeldByAnother(error)) LogHeldFile(inUse.empty() ? path : inUse);
                else LogCallFailed("MoveFileExW", path, error);
                held = true;
                return;
            }
            ::Sleep(kHeldRetryMs);
        }
    };
    // What the earlier installation listed is known to be its own (its folders go whole, as the
    // cleanup removed them), and nothing else is; without a list, the files at the payload's names.
    std::vector<std::wstring> lines;
    if (ReadInstallList(installPath_, &lines)) {
        std::vector<std::wstring> files, folders;
        for (const std::wstring& line : lines) {
            bool folder = false;
            const std::wstring relative = ListedPath(line, &folder);
            if (!relative.empty()) (folder ? folders : files).push_back(relative);
        }
        SortByDepth(&folders, false);
        for (const std::wstring& folder : folders) moveAside(folder);
        for (const std::wstring& file : files) moveAside(file);
        moveAside(kInstallListFile + 1);
        // A file of the user's at a payload's name that the list does not name would be replaced:
        // it goes aside too, to come back should the run fail.
        (void)VisitPayloadTargets(payloadPath_, installPath_, moveAside, nullptr);
        return !held;
    }
    // Then the folders on the payload's ways that this left empty, deepest first: the rest hold
    // what is not the payload's. Moving back makes them again.
    std::vector<std::wstring> folders;
    (void)VisitPayloadTargets(payloadPath_, installPath_, moveAside, &folders);
    if (held) return false;
    SortByDepth(&folders, true);
    Removal removal(installPath_);
    for (const std::wstring& folder : folders) removal.RemoveFolderIfEmpty(folder);
    return true;
}

void FilesAside::NoteWhatIsMade(bool empty) {
    // What the extraction is about to make, for a start after an interruption to take back: the
    // payload's names not there now, and the list it writes last. Kept as an install list in the
    // aside folder; without it a later start still moves the files back, and only what the run
    // made would stay.
    InstallListWriter made(installPath_, FilesAsideFolderOf(installPath_));
    const auto note = [&](const std::wstring& relative, bool folder) {
        const std::wstring path = installPath_ + L"\\" + relative;
        if (empty || !Exists(path)) made.Add(path, folder);
    };
    std::vector<std::wstring> folders;
    (void)VisitPayloadTargets(payloadPath_, installPath_, [&](const std::wstring& name) { note(name, false); },
                              &folders);
    for (const std::wstring& folder : folders) note(folder, true);
    note(kInstallListFile + 1, false);
    (void)made.Finish();
}

void FilesAside::Commit() {
    begun_ = false;
    // Decided first: should the aside folder not go now (a file in it held open), a later start
    // removes it and never puts it back over the new files.
    RecordUnfinished(installPath_, true);
    if (RemoveLeftover(FilesAsideFolderOf(installPath_))) ForgetUnfinished(installPath_);
}

void FilesAside::Restore() {
    begun_ = false;
    const std::wstring aside = FilesAsideFolderOf(installPath_);
    if (MoveBack(installPath_, aside + kMovedFolder) && RemoveLeftover(aside)) ForgetUnfinished(installPath_);
}

bool RestoreFilesAside(const std::wstring& installPath) {
    const std::wstring folder = WithoutTrailingSlashes(installPath);
    const std::wstring aside = FilesAsideFolderOf(folder);
    if (!Exists(aside)) return true;
    if (UnfinishedCommitted(folder)) return RemoveLeftover(aside);
    LogFormatW(g_log, L"an interrupted installation into %s was undone: the earlier installation's files are back",
               folder.c_str());
    // What the run made goes first, as an installation's list is removed.
    std::vector<std::wstring> made;
    if (Exists(aside + kInstallListFile) && ReadInstallList(aside, &made))
        (void)RemoveListedInstallation(folder, made, false);
    return MoveBack(folder, aside + kMovedFolder) && RemoveLeftover(aside);
}
