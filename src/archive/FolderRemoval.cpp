#include "archive/FolderRemoval.h"

#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>


namespace {

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

}  // namespace

bool IsProductFolder(const std::wstring& installPath) {
    std::wstring path = installPath;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    if (path.empty()) return installPath.empty();
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring last = slash == std::wstring::npos ? path : path.substr(slash + 1);
    return last == kProductFolderName;
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

std::wstring FoldCase(std::wstring path) {
    if (!path.empty()) ::CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
}

uint64_t PathKey(std::wstring path) {
    path = FoldCase(std::move(path));
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the UTF-16 units
    for (const wchar_t c : path) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 0x100000001B3ull;
    }
    return hash;
}
