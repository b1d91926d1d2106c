#include "archive/FolderRemoval.h"

#include <windows.h>
#include <shellapi.h>

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
