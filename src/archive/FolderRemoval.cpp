#include "archive/FolderRemoval.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>

bool IsProductFolder(const std::wstring& installPath) {
    std::wstring path = installPath;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    if (path.empty()) return installPath.empty();
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring last = slash == std::wstring::npos ? path : path.substr(slash + 1);
    return last == kProductFolderName;
}

bool DeleteTree(const std::wstring& path) {
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

bool IsSafeEntryName(const std::wstring& name) {
    std::wstring n = name;
    std::replace(n.begin(), n.end(), L'/', L'\\');
    if (n.empty() || n[0] == L'\\') return false;     // absolute or UNC
    if (n.size() >= 2 && n[1] == L':') return false;  // drive
    size_t start = 0;
    while (start < n.size()) {
        size_t end = n.find(L'\\', start);
        if (end == std::wstring::npos) end = n.size();
        // Windows drops trailing dots and blanks from a name, so "..." or ".. " would act as "..".
        const std::wstring part = n.substr(start, end - start);
        if (!part.empty() && part.find_first_not_of(L". ") == std::wstring::npos) return false;
        start = end + 1;
    }
    return true;
}
