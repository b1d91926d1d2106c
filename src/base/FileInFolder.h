#pragma once
// Files the elevated installer writes in folders others can write (the folder it was started from,
// a user's install folder, the temp folder): always by name relative to the folder's held handle,
// never by path, and never through a link or a second name of another file. Anyone who can write
// the folder can put a hard link or a symbolic link at a name there before or while the installer
// works; written by path, that would make it write, or empty, the file the link leads to.

#include <windows.h>

#include <string>

#include "base/Owners.h"

// A handle on the folder at `path`, for listing and opening names in it, that shares no deletion;
// `itself`: on the folder itself, not on what a link in its place leads to.
UniqueFile OpenFolderHandle(const std::wstring& path, bool itself);

// A folder held open without sharing deletion: while held, it cannot be renamed away or replaced,
// so a name in it stays a name in this folder. Opened as the path leads now; with `refuseLink`, not
// at all when the folder itself is a junction or symbolic link (a folder the installer made, which
// a user's program could have put a link in place of).
class HeldFolder {
public:
    HeldFolder() = default;
    explicit HeldFolder(std::wstring path, bool refuseLink = false);
    HeldFolder(HeldFolder&&) = default;
    HeldFolder& operator=(HeldFolder&&) = default;

    explicit operator bool() const { return static_cast<bool>(handle_); }
    HANDLE get() const { return handle_.get(); }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
    UniqueFile handle_;
};

enum class FileIn {
    kNew,           // fails when the name is taken
    kReplace,       // whatever has the name goes first, through a handle on itself
    kOpenOrNew,     // a file of its own there is opened; anything else at the name goes first
    kOpenExisting,  // only a file of its own there
};

// Error codes beside the system's: the name is a link or a second name of another file.
constexpr DWORD kNotAFileOfItsOwn = ERROR_CANT_ACCESS_FILE;

// Opens or creates `name` (one component) in `folder` (held by the caller, or any handle open on a
// folder with listing rights; folderPath is its path, for the log and for what only a path shows
// under Wine). What it opens is a file of its own: never a link (reparse point), never a file with
// more than one name. A name that must go is removed through a handle opened on itself, never on
// what it leads to, and the create tried again. INVALID_HANDLE_VALUE with the last error on failure.
// Allocates nothing: the fault handler logs through it.
UniqueFile OpenFileIn(HANDLE folder, const wchar_t* folderPath, const wchar_t* name, FileIn how, DWORD access,
                      DWORD share, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
inline UniqueFile OpenFileIn(HANDLE folder, const std::wstring& folderPath, const std::wstring& name, FileIn how,
                             DWORD access, DWORD share, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    return OpenFileIn(folder, folderPath.c_str(), name.c_str(), how, access, share, attributes);
}
inline UniqueFile OpenFileIn(const HeldFolder& folder, const std::wstring& name, FileIn how, DWORD access,
                             DWORD share, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    return OpenFileIn(folder.get(), folder.path().c_str(), name.c_str(), how, access, share, attributes);
}

// Removes the name from the folder, through a handle on itself: a link goes, not what it leads to;
// a second name goes, not the file. True when the name is gone (or was never there).
bool RemoveNameIn(HANDLE folder, const wchar_t* folderPath, const wchar_t* name);
inline bool RemoveNameIn(HANDLE folder, const std::wstring& folderPath, const std::wstring& name) {
    return RemoveNameIn(folder, folderPath.c_str(), name.c_str());
}

// The folder part and the name of a path ("C:\a\b.txt": "C:\a", "b.txt"; "b.txt": ".", "b.txt").
std::wstring FolderPart(const std::wstring& path);
std::wstring NamePart(const std::wstring& path);
