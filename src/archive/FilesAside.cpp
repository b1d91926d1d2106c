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
#include "base/Text.h"

namespace {

// Inside the aside folder: the moved files at their places, and the list of what the run makes.
constexpr wchar_t kMovedFolder[] = L"\\files";
constexpr wchar_t kMadeList[] = L"\\made.lst";
constexpr DWORD kHeldRetryMs = 200;

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring WithoutTrailingSlashes(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

size_t Depth(const std::wstring& relative) { return std::count(relative.begin(), relative.end(), L'\\'); }

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

// Takes back what an interrupted extraction made, as its list says: files, then folders left empty.
void RemoveMadeListed(const std::wstring& installPath, const std::wstring& list) {
    std::string text;
    {
        const UniqueFile file(::CreateFileW(list.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) return;
        char piece[64 * 1024];
        DWORD read = 0;
        while (::ReadFile(file.get(), piece, sizeof piece, &read, nullptr) && read > 0) text.append(piece, read);
    }
    std::vector<std::wstring> files, folders;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        bool folder = false;
        const std::wstring relative = ListedPath(ToWide(text.substr(start, end - start), CP_UTF8), &folder);
        if (!relative.empty()) (folder ? folders : files).push_back(relative);
    }
    Removal removal(installPath);
    for (auto it = files.rbegin(); it != files.rend(); ++it) (void)removal.RemoveFile(*it);
    std::stable_sort(folders.begin(), folders.end(),
                     [](const std::wstring& a, const std::wstring& b) { return Depth(a) > Depth(b); });
    for (const std::wstring& folder : folders) removal.RemoveFolderIfEmpty(folder);
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
    const std::wstring moved = aside + kMovedFolder;
    RecordUnfinished(installPath_);
    if (!::CreateDirectoryW(aside.c_str(), nullptr) || !::CreateDirectoryW(moved.c_str(), nullptr)) {
        LogCallFailed("CreateDirectoryW", moved, ::GetLastError());
        if (RemoveLeftover(aside)) ForgetUnfinished(installPath_);
        return false;
    }
    ::SetFileAttributesW(aside.c_str(), FILE_ATTRIBUTE_HIDDEN);
    begun_ = true;

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
            const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
            const DWORD error = folder && FindHeldFile(path, &inUse) ? ERROR_SHARING_VIOLATION
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
    if (!empty && ReadInstallList(installPath_, &lines)) {
        std::vector<std::wstring> files, folders;
        for (const std::wstring& line : lines) {
            bool folder = false;
            const std::wstring relative = ListedPath(line, &folder);
            if (!relative.empty()) (folder ? folders : files).push_back(relative);
        }
        std::stable_sort(folders.begin(), folders.end(),
                         [](const std::wstring& a, const std::wstring& b) { return Depth(a) < Depth(b); });
        for (const std::wstring& folder : folders) moveAside(folder);
        for (const std::wstring& file : files) moveAside(file);
        moveAside(kInstallListFile + 1);
    } else if (!empty) {
        // Then the folders on the payload's ways that this left empty, deepest first: the rest hold
        // what is not the payload's. Moving back makes them again.
        std::vector<std::wstring> folders;
        (void)VisitPayloadTargets(payloadPath_, installPath_, moveAside, &folders);
        std::stable_sort(folders.begin(), folders.end(),
                         [](const std::wstring& a, const std::wstring& b) { return Depth(a) > Depth(b); });
        Removal removal(installPath_);
        for (const std::wstring& folder : folders)
            if (!held) removal.RemoveFolderIfEmpty(folder);
    }
    if (held) {
        Restore();
        return false;
    }

    // What the extraction is about to make, for a start after an interruption to take back: the
    // payload's names not there now, and the list it writes last. Written a piece at a time.
    const std::wstring list = aside + kMadeList;
    const UniqueFile file(::CreateFileW(list.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    std::string made;
    bool written = static_cast<bool>(file);
    const auto flush = [&] {
        DWORD wrote = 0;
        written = written && ::WriteFile(file.get(), made.data(), static_cast<DWORD>(made.size()), &wrote, nullptr) &&
                  wrote == made.size();
        made.clear();
    };
    const auto note = [&](const std::wstring& relative, bool folder) {
        if (!empty && Exists(installPath_ + L"\\" + relative)) return;
        made += ToNarrow(relative + (folder ? L"\\" : L""), CP_UTF8) + "\n";
        if (made.size() >= 64 * 1024) flush();
    };
    std::vector<std::wstring> folders;
    (void)VisitPayloadTargets(payloadPath_, installPath_, [&](const std::wstring& name) { note(name, false); },
                              &folders);
    for (const std::wstring& folder : folders) note(folder, true);
    note(kInstallListFile + 1, false);
    flush();
    // Without it a later start still moves the files back; only what the run made would stay.
    if (!written) LogCallFailed("WriteFile", list, ::GetLastError());
    return true;
}

void FilesAside::Commit() {
    begun_ = false;
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
    LogFormatW(g_log, L"an interrupted installation into %s was undone: the earlier installation's files are back",
               folder.c_str());
    RemoveMadeListed(folder, aside + kMadeList);
    return MoveBack(folder, aside + kMovedFolder) && RemoveLeftover(aside);
}
