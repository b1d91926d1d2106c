#include "prereq/RunFolder.h"

#include <shlobj.h>

#include "base/AdminFolder.h"
#include "base/HeldCopy.h"
#include "base/Log.h"
#include "base/Product.h"

namespace {

// Not the product's name alone: the cleanup ends every process named like it.
constexpr wchar_t kRunFolderPrefix[] = L"-run-";

// A program that has just ended may hold its file and its current folder a moment longer (Wine's
// does, measured: the folder still in use right after the process was signalled).
constexpr int kInUseTries = 20;
constexpr DWORD kInUseWaitMs = 50;

// Deletes now, or, while something still has it open, at the next restart (the installer has
// administrator rights for that).
void DeleteOrAtRestart(const std::wstring& path, bool folder) {
    DWORD error = ERROR_SUCCESS;
    for (int tries = 0; tries < kInUseTries; ++tries) {
        if (folder ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str())) return;
        error = ::GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
        ::Sleep(kInUseWaitMs);
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    LogCallFailed(folder ? "RemoveDirectoryW" : "DeleteFileW", path, error);
    // The restart finds it by path: only where no user can put a link on the way by then.
    std::wstring offending;
    if (!OnlyAdministratorsChange(path.substr(0, path.rfind(L'\\')), &offending))
        LogLeftNotAtRestart(path, offending);
    else if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        LogCallFailed("MoveFileExW (at restart)", path, ::GetLastError());
}

// What the program left in its folder (its current folder too). Only administrators and the system
// write there; a link is removed itself, never followed.
void RemoveContents(const std::wstring& folder) {
    WIN32_FIND_DATAW found = {};
    const UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) RemoveContents(path);
        DeleteOrAtRestart(path, isFolder);
    } while (::FindNextFileW(find.get(), &found));
}

}  // namespace

std::wstring RunFolderParent() {
    wchar_t path[MAX_PATH] = {};
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)) &&
        path[0] != L'\0') {
        std::wstring parent = path;
        return parent.back() == L'\\' ? parent : parent + L"\\";
    }
    const UINT length = ::GetWindowsDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    std::wstring windows(path, length);
    return windows + (windows.back() == L'\\' ? L"Temp\\" : L"\\Temp\\");
}

bool RunFolder::Put(HANDLE source, const std::wstring& name, const std::wstring& parent) {
    Remove();
    if (parent.empty()) {
        LogCallFailed("SHGetFolderPathW", L"CSIDL_COMMON_APPDATA", ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (!MakeAdminFolder(parent, std::wstring(kProductFolderName) + kRunFolderPrefix, &folder_, &heldFolder_))
        return false;
    const std::wstring program = folder_ + L"\\" + name;
    if (!CopyToHeldFile(source, program, &heldProgram_, &digest_)) {
        Remove();
        return false;
    }
    program_ = program;
    return true;
}

bool RunFolder::PutFile(const std::wstring& source, const std::wstring& name, const std::wstring& parent) {
    const UniqueFile file(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        LogCallFailed("CreateFileW", source, ::GetLastError());
        return false;
    }
    return Put(file.get(), name, parent);
}

void RunFolder::Remove() noexcept {
    // Files first, then the folder, let go of only now.
    heldProgram_.reset();
    if (!program_.empty()) DeleteOrAtRestart(program_, false);
    if (!folder_.empty()) RemoveContents(folder_);
    heldFolder_.reset();
    if (!folder_.empty()) DeleteOrAtRestart(folder_, true);
    program_.clear();
    folder_.clear();
}
