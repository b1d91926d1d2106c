#include "ui/InstallFolder.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <iterator>

#include "base/PatternMatcher.h"
#include "base/Product.h"

namespace {

// A letter, a colon, a backslash, then ASCII letters, digits, '_', '\', '(' and ')' to the end.
constexpr wchar_t kFolderPattern[] = L"[a-zA-Z]:\\\\[a-zA-Z0-9_\\\\()]+$";

}  // namespace

bool DriveExists(wchar_t letter) {
    const DWORD mask = ::GetLogicalDrives();
    for (int drive = 0; drive < 26; ++drive) {
        if (!(mask & (1u << drive))) continue;
        const wchar_t name[2] = {static_cast<wchar_t>(L'A' + drive), L'\0'};
        const wchar_t given[2] = {letter, L'\0'};
        if (::lstrcmpiW(name, given) == 0) return true;
    }
    return false;
}

bool CreateDirectoryTree(const wchar_t* path, LPSECURITY_ATTRIBUTES security) {
    if (path == nullptr || *path == L'\0') return false;
    if (::CreateDirectoryW(path, security)) return true;
    const DWORD error = ::GetLastError();
    if (error != ERROR_PATH_NOT_FOUND) return error == ERROR_ALREADY_EXISTS;

    const wchar_t* lastSlash = wcsrchr(path, L'\\');
    if (lastSlash == nullptr) return false;
    const size_t parentLength = static_cast<size_t>(lastSlash - path);
    if (parentLength >= MAX_PATH) return false;
    wchar_t parent[MAX_PATH] = {};
    wmemcpy(parent, path, parentLength);
    if (!CreateDirectoryTree(parent, security)) return false;

    if (::CreateDirectoryW(path, security)) return true;
    return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

FolderCheck CheckInstallFolder(const std::wstring& installPath) {
    if (installPath.empty()) return FolderCheck::Empty;
    if (installPath.size() > kMaxInstallPathLength) return FolderCheck::TooLong;
    if (!DriveExists(installPath[0])) return FolderCheck::NoDrive;

    PatternMatcher matcher;
    if (matcher.Parse(kFolderPattern, true) != PatternOk) return FolderCheck::PatternError;
    // Spaces are allowed (the default folder may hold them) but only removed for this check.
    std::wstring withoutSpaces;
    for (wchar_t c : installPath)
        if (c != L' ') withoutSpaces += c;
    MatchContext context;
    if (!matcher.Match(withoutSpaces.c_str(), &context)) return FolderCheck::BadCharacters;

    if (!::PathFileExistsW(installPath.c_str()) && !CreateDirectoryTree(installPath.c_str()))
        return FolderCheck::CannotCreate;
    return FolderCheck::Ok;
}

const wchar_t* FolderCheckMessage(FolderCheck check) {
    // Indexed by FolderCheck, in its order.
    static const wchar_t* const kMessages[] = {
        nullptr,
        L"安装路径不能为空",
        L"安装路径太长，容易导致安装失败，请修改再重试",
        L"安装路径不存在",
        L"初始化安装路径失败",
        L"安装路径无效（不能包含中文或全角字符），请更换安装路径",
        L"创建安装路径失败，请更换安装路径",
    };
    static_assert(std::size(kMessages) == static_cast<size_t>(FolderCheck::CannotCreate) + 1, "one text per check");
    const auto i = static_cast<size_t>(check);
    return i < std::size(kMessages) ? kMessages[i] : nullptr;
}

std::wstring DefaultInstallFolder() {
    wchar_t programFiles[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE);
    const std::wstring parent = programFiles;
    // Its result does not matter here: the install checks and creates the folder.
    if (!::PathFileExistsW(parent.c_str())) CreateDirectoryTree(parent.c_str());
    return parent + L"\\" + kProductFolderName;
}

std::wstring ProductFolderBelow(const std::wstring& chosen) {
    // A drive root already ends in its backslash.
    return chosen.size() == 3 ? chosen + kProductFolderName : chosen + L"\\" + kProductFolderName;
}
