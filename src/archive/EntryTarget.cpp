// How an entry's target file is created: its folders below the reader's root, then the file, new
// where it can be.

#include "archive/EntryTarget.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "base/FileInFolder.h"

void CreateTargetFolders(const wchar_t* rootDir, const wchar_t* target) noexcept {
    if (rootDir[0] == L'\0') return;
    const wchar_t* lastSep = nullptr;
    for (const wchar_t* p = target; *p; ++p)
        if (*p == L'/' || *p == L'\\') lastSep = p;
    if (!lastSep || lastSep == target) return;
    if (target[0] == L'/' || target[0] == L'\\' || target[1] == L':') return;
    const size_t folderLength = static_cast<size_t>(lastSep - target);
    for (size_t i = 0; i + 2 < folderLength + 1; ++i) {
        if (target[i] == L'.' && target[i + 1] == L'.' && (target[i + 2] == L'/' || target[i + 2] == L'\\')) return;
    }
    wchar_t path[MAX_PATH * 2];
    const size_t rootLength = wcslen(rootDir);
    if (rootLength + folderLength + 1 > MAX_PATH * 2) return;
    memcpy(path, rootDir, rootLength * sizeof(wchar_t));
    for (size_t i = 0; i <= folderLength; ++i) {
        const wchar_t c = i < folderLength ? target[i] : L'\\';
        if (c == L'/' || c == L'\\') {
            if (i > 0 && target[i - 1] != L'/' && target[i - 1] != L'\\') {
                path[rootLength + i] = L'\0';
                // Asking first is cheaper than a failing create for the many files that share
                // folders; a real failure shows when the target is created.
                const DWORD attr = GetFileAttributesW(path);
                if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
                    CreateDirectoryW(path, nullptr);
            }
            path[rootLength + i] = L'\\';
        } else {
            path[rootLength + i] = c;
        }
    }
}

// New where it can be: replacing truncates, and under Wine on ext4 a truncated-then-written file is
// sent to disk the moment it is closed, so every extracted file would be written through instead
// of cached. What has the name already goes through a handle on itself, never through the path:
// a program watching a user's folder may have put a link or a second name of another file there.
HANDLE CreateTarget(const wchar_t* target, DWORD attr, HANDLE folder) noexcept {
    const std::wstring path(target);
    // What CreateFileW would not take, as before.
    if (path.size() >= MAX_PATH) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HeldFolder own;
    if (folder == nullptr) {
        own = HeldFolder(FolderPart(path));
        if (!own) return INVALID_HANDLE_VALUE;
        folder = own.get();
    }
    return OpenFileIn(folder, FolderPart(path), NamePart(path), FileIn::kReplace, GENERIC_WRITE, 0, attr).release();
}
