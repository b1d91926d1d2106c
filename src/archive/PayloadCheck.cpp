#include "archive/PayloadCheck.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <unordered_set>

#include "archive/FolderRemoval.h"
#include "archive/ZipReader.h"

namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attr = ::GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A junction or symbolic link (under Wine, a unix link) there now: the extraction would write
// wherever it leads. Whatever the cleanup removes, a link it cannot remove stays.
bool IsLink(const std::wstring& path) {
    const DWORD attr = ::GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::wstring Describe(int32_t index, const wchar_t* name, const wchar_t* what, int32_t code) {
    wchar_t text[64];
    std::swprintf(text, 64, L"payload entry %d (", static_cast<int>(index));
    std::wstring line = std::wstring(text) + name + L"): " + what;
    if (code != kArchiveOk) {
        std::swprintf(text, 64, L", code 0x%X", static_cast<unsigned>(code));
        line += text;
    }
    return line;
}

}  // namespace

bool PayloadIsWhole(const std::wstring& payloadPath, const std::wstring& installPath, std::wstring* problem,
                    HANDLE heldPayload) {
    const UniqueArchive archive(OpenArchive(payloadPath.c_str(), heldPayload));
    if (!archive) {
        *problem = Describe(-1, L"", L"the archive cannot be opened", lastArchiveError);
        return false;
    }
    ArchiveEntry entry = {};
    int32_t result = GetArchiveEntry(archive.get(), -1, &entry);
    if (result != kArchiveOk || entry.index <= 0) {
        *problem = Describe(-1, L"", L"no entries", result);
        return false;
    }
    const int32_t count = entry.index;

    std::wstring root = installPath;
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    // The cleanup removes a product folder whole first; a folder of the user's keeps its folders.
    const bool cleared = IsProductFolder(installPath);
    if (IsLink(root)) {
        *problem = Describe(-1, L"", L"the install folder is a junction or symbolic link", kArchiveOk);
        return false;
    }
    std::unordered_set<uint64_t> folders = {PathKey(root)};
    // Every folder on an entry's way, each looked at once, and every file's target: a name cannot be
    // both, in Windows' eyes, and a way cannot cross a link.
    std::unordered_set<uint64_t> way = {PathKey(root)};
    std::unordered_set<uint64_t> files;
    for (int32_t i = 0; i < count; ++i) {
        entry = {};
        result = GetArchiveEntry(archive.get(), i, &entry);
        if (result != kArchiveOk) {
            *problem = Describe(i, L"", L"cannot be described", result);
            return false;
        }
        // The target exactly as the extraction builds it, with the same refusals.
        std::wstring target;
        if (!EntryTargetPath(root, entry.name, &target)) {
            *problem = Describe(i, entry.name, L"an unsafe name", kArchiveOk);
            return false;
        }
        const std::wstring folder = target.substr(0, target.rfind(L'\\'));
        // The first folder on the way already looked at ends the walk: its own way was, before.
        for (std::wstring at = folder;; at.resize(at.rfind(L'\\'))) {
            const uint64_t key = PathKey(at);
            if (!way.insert(key).second) break;
            if (files.count(key) != 0) {
                *problem = Describe(i, entry.name, L"a file of an earlier entry is on its way", kArchiveOk);
                return false;
            }
            if (IsLink(at)) {
                *problem = Describe(i, entry.name, L"its way crosses a junction or symbolic link", kArchiveOk);
                return false;
            }
        }
        if (!(entry.attr & FILE_ATTRIBUTE_DIRECTORY) && target.back() != L'\\') {
            const uint64_t key = PathKey(target);
            if (way.count(key) != 0) {
                *problem = Describe(i, entry.name, L"an earlier entry's way has a folder of its name", kArchiveOk);
                return false;
            }
            files.insert(key);
        }
        if (folders.count(PathKey(folder)) == 0) {
            const size_t slash = folder.rfind(L'\\');
            const std::wstring parent = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
            // One level per entry: the entry's folder is made when its parent is there.
            const bool made = folders.count(PathKey(parent)) != 0 || (!cleared && IsFolder(parent));
            if (!made && (cleared || !IsFolder(folder))) {
                *problem = Describe(i, entry.name, L"its folder would not exist yet", kArchiveOk);
                return false;
            }
            folders.insert(PathKey(folder));
        }
        result = VerifyEntry(archive.get(), i);
        if (result != kArchiveOk) {
            *problem = Describe(i, entry.name, L"its data cannot be read whole", result);
            return false;
        }
    }
    return true;
}
