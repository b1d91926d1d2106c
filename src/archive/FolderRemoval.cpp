#include "archive/FolderRemoval.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <vector>

#include "base/Log.h"
#include "base/Owners.h"

namespace {

constexpr wchar_t kLiteralPrefix[] = L"\\\\?\\";
constexpr wchar_t kLiteralUncPrefix[] = L"\\\\?\\UNC\\";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The components of a path, split at either separator; empty ones included.
std::vector<std::wstring> Components(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        parts.push_back(path.substr(start, end - start));
        if (end == path.size()) return parts;
        start = end + 1;
    }
}

// Windows drops trailing dots and blanks from a name.
std::wstring WithoutTrailingDotsAndBlanks(std::wstring name) {
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
    return name;
}

bool ShellDelete(const std::wstring& path) {
    std::wstring from = path;
    from.push_back(L'\0');  // the shell wants a list ended by two zero characters
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.pTo = L"\0";
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;  // 0x414
    op.lpszProgressTitle = L"";
    return ::SHFileOperationW(&op) == 0;
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

// The path as the user would write it, for the log.
std::wstring Shown(const std::wstring& literal) {
    if (literal.compare(0, 8, kLiteralUncPrefix) == 0) return L"\\\\" + literal.substr(8);
    if (literal.compare(0, 4, kLiteralPrefix) == 0) return literal.substr(4);
    return literal;
}

bool NotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// A tree listed before anything of it is removed, folders in the order found (each after its own).
struct Tree {
    std::vector<std::wstring> files;
    std::vector<std::wstring> links;
    std::vector<std::wstring> folders;
    bool deviceNamed = false;  // a name the shell would hand to the system as a device
    bool complete = true;      // every folder could be listed to its end
};

void ListTree(const std::wstring& root, Tree* tree) {
    const DWORD attributes = ::GetFileAttributesW(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (!NotFound(error)) {
            LogCallFailed("GetFileAttributesW", Shown(root), error);
            tree->complete = false;
        }
        return;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        tree->links.push_back(root);
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        tree->folders.push_back(root);
    else
        tree->files.push_back(root);
    for (size_t i = 0; i < tree->folders.size(); ++i) {
        const std::wstring folder = tree->folders[i];
        WIN32_FIND_DATAW found = {};
        UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
        if (!find) {
            LogCallFailed("FindFirstFileW", Shown(folder), ::GetLastError());
            tree->complete = false;
            continue;
        }
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            tree->deviceNamed = tree->deviceNamed || IsDeviceName(name);
            const std::wstring child = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                tree->links.push_back(child);
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                tree->folders.push_back(child);
            else
                tree->files.push_back(child);
        } while (::FindNextFileW(find.get(), &found));
        const DWORD error = ::GetLastError();
        if (error != ERROR_NO_MORE_FILES) {
            LogCallFailed("FindNextFileW", Shown(folder), error);
            tree->complete = false;
        }
    }
}

// Read-only files and folders refuse to go.
void ClearReadOnly(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

bool Removed(BOOL done, const char* call, const std::wstring& path) {
    if (done) return true;
    const DWORD error = ::GetLastError();
    if (NotFound(error)) return true;
    LogCallFailed(call, Shown(path), error);
    return false;
}

// Windows removes a junction or symbolic link itself with RemoveDirectoryW or DeleteFileW. Wine
// takes both, and even a handle opened on the link itself, to what the link points to: the link
// goes only when a handle opened on it reports a link.
bool RemoveLink(const std::wstring& path) {
    DWORD attributes = 0;
    {
        UniqueFile link(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!link) return Removed(FALSE, "CreateFileW", path);
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!::GetFileInformationByHandle(link.get(), &info)) return Removed(FALSE, "GetFileInformationByHandle", path);
        attributes = info.dwFileAttributes;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        LogCallFailed("RemoveLink", Shown(path), ERROR_NOT_A_REPARSE_POINT);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Removed(::RemoveDirectoryW(path.c_str()), "RemoveDirectoryW", path);
    return Removed(::DeleteFileW(path.c_str()), "DeleteFileW", path);
}

bool RemoveListed(const Tree& tree) {
    bool complete = tree.complete;
    for (const auto& file : tree.files) {
        ClearReadOnly(file);
        complete &= Removed(::DeleteFileW(file.c_str()), "DeleteFileW", file);
    }
    for (const auto& link : tree.links) complete &= RemoveLink(link);
    for (auto it = tree.folders.rbegin(); it != tree.folders.rend(); ++it) {
        ClearReadOnly(*it);
        complete &= Removed(::RemoveDirectoryW(it->c_str()), "RemoveDirectoryW", *it);
    }
    return complete;
}

}  // namespace

bool IsProductFolder(const std::wstring& installPath) {
    std::wstring path = installPath;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    if (path.empty()) return installPath.empty();
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring last = slash == std::wstring::npos ? path : path.substr(slash + 1);
    return last == kProductFolderName;
}

bool DeleteTree(const std::wstring& path) {
    const bool literal = path.compare(0, 4, kLiteralPrefix) == 0;
    const std::vector<std::wstring> parts = Components(path);
    if (!literal && std::any_of(parts.begin(), parts.end(), IsDeviceName)) {
        LogCallFailed("DeleteTree", path, ERROR_INVALID_NAME);
        return false;
    }
    const std::wstring root = LiteralPath(path);
    if (root.empty()) return false;
    Tree tree;
    ListTree(root, &tree);
    if (tree.files.empty() && tree.links.empty() && tree.folders.empty()) return tree.complete;
    // The shell follows links (under Wine it empties what they point to) and hands a name like
    // "nul.txt" to the system as the device.
    if (!literal && tree.complete && tree.links.empty() && !tree.deviceNamed && ShellDelete(path)) return true;
    return RemoveListed(tree);
}

bool IsDeviceName(const std::wstring& component) {
    std::wstring base = WithoutTrailingDotsAndBlanks(component);
    base = base.substr(0, base.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (auto& c : base)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
        base == L"CONOUT$")
        return true;
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) return false;
    // Windows also counts the superscript digits one to three as digits here.
    const wchar_t digit = base[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

bool IsSafeEntryName(const std::wstring& name) {
    if (name.empty() || IsSeparator(name[0])) return false;  // absolute or UNC
    // ":" is a drive or a stream; the rest Windows refuses in names, and the shell would expand a wildcard.
    if (name.find_first_of(L":*?\"<>|") != std::wstring::npos) return false;
    if (std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < L' '; })) return false;
    for (const std::wstring& part : Components(name)) {
        if (part.empty() || part == L".") continue;
        // Windows drops trailing dots and blanks from a name, so "..." or ".. " would act as "..".
        if (WithoutTrailingDotsAndBlanks(part).empty()) return false;
        if (IsDeviceName(part)) return false;
    }
    return true;
}

bool EntryTargetPath(const std::wstring& installPath, const std::wstring& name, std::wstring* target) {
    if (!IsSafeEntryName(name)) return false;
    std::wstring relative;
    for (const std::wstring& part : Components(name)) {
        if (part.empty() || part == L".") continue;
        if (!relative.empty()) relative += L'\\';
        relative += WithoutTrailingDotsAndBlanks(part);
    }
    const bool folder = IsSeparator(name.back());
    // A file entry of "." components only would be the install folder itself.
    if (relative.empty() && !folder) return false;
    *target = installPath + L"\\" + relative;
    if (folder && !relative.empty()) *target += L'\\';
    return true;
}

bool LeadsThroughLink(const std::wstring& folder, const std::wstring& relative) {
    for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos; slash = relative.find(L'\\', slash + 1)) {
        const DWORD attributes = ::GetFileAttributesW((folder + L"\\" + relative.substr(0, slash)).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    }
    return false;
}

uint64_t PathKey(std::wstring path) {
    if (!path.empty()) ::CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the UTF-16 units
    for (const wchar_t c : path) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 0x100000001B3ull;
    }
    return hash;
}
