#include "archive/Removal.h"

#include <windows.h>
// after windows.h, which they need
#include <shlobj.h>
#include <shlwapi.h>

#include "archive/FolderRemoval.h"
#include "base/AdminFolder.h"
#include "base/Log.h"
#include "base/SystemApi.h"

namespace {

constexpr wchar_t kLiteralPrefix[] = L"\\\\?\\";
constexpr wchar_t kLiteralUncPrefix[] = L"\\\\?\\UNC\\";

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Held folders share everything but deletion: nobody renames or replaces them while held.
constexpr DWORD kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
// On the thing itself, never on what a link points to.
constexpr DWORD kItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// The path as the user would write it, for the log.
std::wstring Shown(const std::wstring& literal) {
    if (literal.compare(0, 8, kLiteralUncPrefix) == 0) return L"\\\\" + literal.substr(8);
    if (literal.compare(0, 4, kLiteralPrefix) == 0) return literal.substr(4);
    return literal;
}

// Components at either separator, as Windows reads a path.
std::vector<std::wstring> SplitAtEither(std::wstring path) {
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return SplitComponents(path);
}

}  // namespace

// The thing at a path, opened on itself.
struct RemovalItem {
    UniqueFile handle;
    DWORD attributes = 0;     // as the handle sees them
    bool link = false;        // a junction or symbolic link, by the handle or by the path
    bool linkItself = false;  // and the handle is on the link, not on what it points to
    DWORD error = ERROR_SUCCESS;
    FileIdentity identity;
};

namespace {

using Item = RemovalItem;

// Windows shows a link as one on a handle opened on it; Wine only on the path, its handle being on
// what the link points to. A link is what either says is one, and only a handle that says so may
// delete it. `byPath`: the attributes the path showed, when already known.
Item OpenItself(const std::wstring& path, DWORD access, DWORD share, DWORD byPath = INVALID_FILE_ATTRIBUTES) {
    Item item;
    item.handle.reset(
        ::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, kItself, nullptr));
    if (!item.handle) {
        item.error = ::GetLastError();
        return item;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(item.handle.get(), &info)) {
        item.error = ::GetLastError();
        item.handle.reset();
        return item;
    }
    item.attributes = info.dwFileAttributes;
    item.identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    item.linkItself = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (byPath == INVALID_FILE_ATTRIBUTES) byPath = ::GetFileAttributesW(path.c_str());
    item.link = item.linkItself || (byPath != INVALID_FILE_ATTRIBUTES && (byPath & FILE_ATTRIBUTE_REPARSE_POINT));
    return item;
}

// A folder to be emptied and removed, held against renaming while it is. Not with the right to
// delete it: listing a folder opens it without sharing deletion.
Item OpenFolderHeld(const std::wstring& path, DWORD byPath = INVALID_FILE_ATTRIBUTES) {
    return OpenItself(path, FILE_LIST_DIRECTORY, kShareHeld, byPath);
}

// The absolute path in the "\\?\" form, in which Windows takes every name as it is on disk: a file
// named "nul.txt" is that file, not the device, and "a." keeps its dot. Empty, logged, for a path
// that cannot be made absolute or is a drive's root.
std::wstring LiteralPath(const std::wstring& path) {
    if (path.compare(0, 4, kLiteralPrefix) == 0) return path;
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        LogCallFailed("GetFullPathNameW", path, ::GetLastError());
        return {};
    }
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) {
        LogCallFailed("GetFullPathNameW", path, length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        return {};
    }
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (::PathIsRootW(full.c_str()) || full.compare(0, 4, L"\\\\.\\") == 0) {
        LogCallFailed("DeleteTree", path, ERROR_INVALID_NAME);
        return {};
    }
    if (full.compare(0, 2, L"\\\\") == 0) return kLiteralUncPrefix + full.substr(2);
    return kLiteralPrefix + full;
}

bool InUse(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION; }

}  // namespace

bool HandleDeletionAvailable() noexcept { return HasFileInformationByHandle(); }

Removal::Removal(const std::wstring& root, RemovalOptions options)
    : root_(LiteralPath(root)), options_(options), way_(root_) {
    if (!HasFileInformationByHandle()) options_.byHandle = false;
}

std::wstring Removal::PathOf(const std::vector<std::wstring>& parts, size_t count) const {
    std::wstring path = root_;
    for (size_t i = 0; i < count; ++i) path.append(L"\\").append(parts[i]);
    return path;
}

Removal::Way Removal::Reach(const std::vector<std::wstring>& parts, size_t count) {
    if (root_.empty()) return Way::Refused;
    switch (way_.Hold(parts, count)) {
        case HeldWay::kHeld: return Way::Held;
        case HeldWay::kAbsent: return Way::Missing;
        case HeldWay::kRefused: break;
    }
    return Way::Refused;
}

Removal::~Removal() {
    if (parking_.empty()) return;
    parkingHeld_.reset();
    if (parked_ == 0 ? !::RemoveDirectoryW(parking_.c_str())
                     : !::MoveFileExW(parking_.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        LogCallFailed(parked_ == 0 ? "RemoveDirectoryW" : "MoveFileExW (at restart)", parking_, ::GetLastError());
}

// Deleted by path at the restart: only inside a folder no user can change by then.
bool Removal::ScheduleAtRestart(const std::wstring& path) {
    const uint64_t key = PathKey(path);
    if (atRestart_.count(key) != 0) return true;
    std::wstring offending;
    if (!OnlyAdministratorsChange(path.substr(0, path.rfind(L'\\')), &offending)) {
        LogLeftNotAtRestart(Shown(path), offending);
        return false;
    }
    if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        LogCallFailed("MoveFileExW (at restart)", Shown(path), ::GetLastError());
        return false;
    }
    atRestart_.insert(key);
    return true;
}

// A new folder for in-use files in the machine's common application data, one only
// administrators can change; false when there is none.
bool Removal::ParkingReady() {
    if (parkingTried_) return !parking_.empty();
    parkingTried_ = true;
    wchar_t common[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) return false;
    std::wstring folder, offending;
    if (!MakeAdminFolder(std::wstring(common) + L"\\", L"VexoRemoved-", &folder, &parkingHeld_)) return false;
    if (!OnlyAdministratorsChange(folder, &offending)) {
        // Each file in use says so where it stays.
        parkingHeld_.reset();
        if (!::RemoveDirectoryW(folder.c_str())) LogCallFailed("RemoveDirectoryW", folder, ::GetLastError());
        return false;
    }
    parking_ = folder;
    return true;
}

// Windows lets a running program's file be renamed but not deleted: it leaves the folder for the
// parking folder (on the same drive; a copy would leave it in place) and goes at the next restart.
Removal::Outcome Removal::DeleteInUse(const std::wstring& path) {
    wchar_t parked[MAX_PATH] = {};
    if (ParkingReady() && ::GetTempFileNameW(parking_.c_str(), L"vxu", 0, parked) != 0) {
        if (::MoveFileExW(path.c_str(), parked, MOVEFILE_REPLACE_EXISTING)) {
            ++parked_;
            if (!::MoveFileExW(parked, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
                LogCallFailed("MoveFileExW (at restart)", parked, ::GetLastError());
            return Outcome::Gone;
        }
        const DWORD error = ::GetLastError();
        ::DeleteFileW(parked);
        // Another drive is no failure: the file goes at the restart where it is.
        if (error != ERROR_NOT_SAME_DEVICE) LogCallFailed("MoveFileExW", Shown(path), error);
    }
    return ScheduleAtRestart(path) ? Outcome::AtRestart : Outcome::Left;
}

Removal::Outcome Removal::DeleteHeld(UniqueFile* held, const std::wstring& path, DWORD attributes, bool quiet) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const char* call = nullptr;
    DWORD error = ERROR_SUCCESS;
    if (options_.byHandle) {
        // Read-only things refuse to go.
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            BasicInfo basic = {};
            basic.fileAttributes = (attributes & ~FILE_ATTRIBUTE_READONLY) != 0 ? attributes & ~FILE_ATTRIBUTE_READONLY
                                                                              : FILE_ATTRIBUTE_NORMAL;
            SetFileInformation(held->get(), kFileBasicInfo, &basic, sizeof basic);  // a failure shows in the deletion
        }
        DispositionInfo disposition = {TRUE};
        const bool deleted = SetFileInformation(held->get(), kFileDispositionInfo, &disposition, sizeof disposition);
        error = deleted ? ERROR_SUCCESS : ::GetLastError();
        held->reset();  // the deletion happens as the handle closes
        if (deleted) return Outcome::Gone;
        call = "SetFileInformationByHandle";
    } else {
        // By path, while the folders on the way stay held; a held folder refuses to go by path.
        held->reset();
        if (attributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        const BOOL deleted = folder ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str());
        if (deleted) return Outcome::Gone;
        error = ::GetLastError();
        call = folder ? "RemoveDirectoryW" : "DeleteFileW";
    }
    if (IsNotFound(error)) return Outcome::Gone;
    if (!folder && options_.moveOutInUse && InUse(error)) return DeleteInUse(path);
    if (!quiet) LogCallFailed(call, Shown(path), error);
    return Outcome::Left;
}

// The emptied folder goes through a handle with the right to delete it, which the held one lacks:
// only when that handle is on the very folder that was emptied (nothing put another in its place).
Removal::Outcome Removal::DeleteEmptied(Frame* frame) {
    frame->pin.reset();
    Item item = OpenItself(frame->path, DELETE | FILE_WRITE_ATTRIBUTES, kShareAll);
    if (!item.handle) {
        if (IsNotFound(item.error)) return Outcome::Gone;
        LogCallFailed("CreateFileW", Shown(frame->path), item.error);
        return Outcome::Left;
    }
    if (item.link || !(item.identity == frame->identity)) {
        LogCallFailed("RemoveDirectory (replaced meanwhile)", Shown(frame->path), ERROR_NOT_SUPPORTED);
        return Outcome::Left;
    }
    return DeleteHeld(&item.handle, frame->path, item.attributes, false);
}

// Deletes the files and links in the held folder `frame` as they are found, and lists its folders.
void Removal::Scan(Frame* frame) {
    WIN32_FIND_DATAW found = {};
    UniqueFind find(::FindFirstFileW((frame->path + L"\\*").c_str(), &found));
    if (!find) {
        LogCallFailed("FindFirstFileW", Shown(frame->path), ::GetLastError());
        frame->left = true;
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            frame->folders.push_back(name);
        else
            Note(frame, RemoveItem(frame->path + L"\\" + name, false, found.dwFileAttributes));
    } while (::FindNextFileW(find.get(), &found));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        LogCallFailed("FindNextFileW", Shown(frame->path), error);
        frame->left = true;
    }
}

void Removal::Note(Frame* frame, Outcome outcome) {
    frame->left = frame->left || outcome == Outcome::Left;
    frame->atRestart = frame->atRestart || outcome == Outcome::AtRestart;
}

// Deepest first, each folder held from its listing to its own removal. Iterative: a tree may be
// far deeper than a thread's stack.
Removal::Outcome Removal::RemoveTree(const std::wstring& path, RemovalItem folder) {
    std::vector<Frame> stack;
    stack.push_back(Frame{path, std::move(folder.handle), folder.attributes, folder.identity, {}, 0, false, false});
    Scan(&stack.back());
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.folders.size()) {
            const std::wstring child = top.path + L"\\" + top.folders[top.next++];
            Item item = OpenFolderHeld(child);
            if (!item.handle) {
                if (!IsNotFound(item.error)) {
                    LogCallFailed("CreateFileW", Shown(child), item.error);
                    top.left = true;
                }
            } else if (item.link || !(item.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                // Changed since it was listed: what is there now goes itself.
                item.handle.reset();
                Note(&top, RemoveItem(child, true));
            } else {
                Frame frame{child, std::move(item.handle), item.attributes, item.identity, {}, 0, false, false};
                Scan(&frame);
                stack.push_back(std::move(frame));  // `top` is not used past here
            }
            continue;
        }
        Outcome outcome = Outcome::Left;
        if (!top.left && top.atRestart) {
            // It keeps only what goes at the restart: it goes then, after them.
            top.pin.reset();
            outcome = ScheduleAtRestart(top.path) ? Outcome::AtRestart : Outcome::Left;
        } else if (!top.left) {
            outcome = DeleteEmptied(&top);
        }
        stack.pop_back();
        if (stack.empty()) return outcome;
        Note(&stack.back(), outcome);
    }
    return Outcome::Left;
}

// What is held goes: a link itself (only where the handle is on it), a file, or a folder whole.
Removal::Outcome Removal::RemoveHeldItem(RemovalItem* item, const std::wstring& path, bool quiet) {
    if (item->link) {
        if (item->linkItself) return DeleteHeld(&item->handle, path, item->attributes, quiet);
        // Wine's handle is on what the link points to: the link stays.
        LogCallFailed("RemoveLink", Shown(path), ERROR_NOT_A_REPARSE_POINT);
        return Outcome::Left;
    }
    if (item->attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // Opened to be deleted through; held against renaming from here on.
        item->handle.reset();
        Item folder = OpenFolderHeld(path);
        if (!folder.handle) {
            if (IsNotFound(folder.error)) return Outcome::Gone;
            LogCallFailed("CreateFileW", Shown(path), folder.error);
            return Outcome::Left;
        }
        if (folder.link || !(folder.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            LogCallFailed("RemoveDirectory (replaced meanwhile)", Shown(path), ERROR_NOT_SUPPORTED);
            return Outcome::Left;
        }
        return RemoveTree(path, std::move(folder));
    }
    return DeleteHeld(&item->handle, path, item->attributes, quiet);
}

Removal::Outcome Removal::RemoveItem(const std::wstring& path, bool expectFolder, DWORD byPath) {
    Item item = OpenItself(path, DELETE | FILE_WRITE_ATTRIBUTES, kShareAll, byPath);
    if (!item.handle) {
        if (IsNotFound(item.error)) return Outcome::Gone;
        if (!expectFolder && options_.moveOutInUse && InUse(item.error)) return DeleteInUse(path);
        LogCallFailed("CreateFileW", Shown(path), item.error);
        return Outcome::Left;
    }
    const bool folder = (item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !item.link;
    if (folder && !expectFolder) {
        // A folder where the installation wrote a file is not the installation's.
        LogCallFailed("RemoveFile", Shown(path), ERROR_DIRECTORY);
        return Outcome::Left;
    }
    return RemoveHeldItem(&item, path, false);
}

// Holds the way to the parent only: the thing itself, if held, is let go to be removed.
bool Removal::RemoveBelow(const std::wstring& relative, bool folder) {
    const std::vector<std::wstring> parts = SplitComponents(relative);
    if (parts.empty()) return false;
    switch (Reach(parts, parts.size() - 1)) {
        case Way::Missing: return true;
        case Way::Refused: return false;
        case Way::Held: break;
    }
    return RemoveItem(PathOf(parts, parts.size()), folder) != Outcome::Left;
}

bool Removal::RemoveFile(const std::wstring& relative) { return RemoveBelow(relative, false); }

bool Removal::RemoveFolder(const std::wstring& relative) { return RemoveBelow(relative, true); }

void Removal::RemoveFolderIfEmpty(const std::wstring& relative) {
    const std::vector<std::wstring> parts = SplitComponents(relative);
    if (parts.empty() || Reach(parts, parts.size() - 1) != Way::Held) return;
    const std::wstring path = PathOf(parts, parts.size());
    Item item = OpenItself(path, DELETE | FILE_WRITE_ATTRIBUTES, kShareAll);
    if (!item.handle || item.link || !(item.attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    (void)DeleteHeld(&item.handle, path, item.attributes, true);  // not empty: the user's files are in it
}

bool Removal::RemoveRoot() {
    way_.Release();
    return !root_.empty() && RemoveItem(root_, true) != Outcome::Left;
}

bool DeleteTree(const std::wstring& path) {
    // Outside the "\\?\" form Windows reads a component like "nul" as the device.
    if (path.compare(0, 4, kLiteralPrefix) != 0) {
        for (const std::wstring& part : SplitAtEither(path))
            if (IsDeviceName(part)) {
                LogCallFailed("DeleteTree", path, ERROR_INVALID_NAME);
                return false;
            }
    }
    return Removal(path).RemoveRoot();
}
