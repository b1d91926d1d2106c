#include "archive/InstallList.h"

#include <windows.h>

#include <algorithm>

#include "archive/FolderRemoval.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/Text.h"

namespace {

// The longest list an extraction can write, rounded up: a zip holds at most 65,535 entries, each
// a file and a folder of its own at most, and a 259-byte name in a double-byte code page becomes
// up to 389 bytes of UTF-8, with a backslash and a line end. A bigger file is not one of ours.
constexpr LONGLONG kMaxListBytes = 64 * 1024 * 1024;
static_assert(kMaxListBytes > 65535LL * 2 * (389 + 3), "room for the longest list the installer writes");

std::wstring ListPath(const std::wstring& installPath) { return installPath + kInstallListFile; }

// Names one thing inside the install folder: nothing absolute, no "..", no wildcard (the shell
// would expand one), no stream, and no control character (a NUL would cut the path short).
bool IsSafeLine(const std::wstring& line) {
    if (!IsSafeEntryName(line) || line.find_first_of(L":*?\"<>|") != std::wstring::npos) return false;
    return std::none_of(line.begin(), line.end(), [](wchar_t c) { return c < L' '; });
}

// Only a clear "not there" counts: a path that cannot be looked at may still be there.
bool Gone(const std::wstring& path) {
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Windows lets a running program's file be renamed but not deleted: it leaves the folder for the
// temp folder (on the same volume; a copy would leave it in place) and goes at the next restart.
bool MoveOutAndDeleteAtRestart(const std::wstring& path) {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) {
        LogCallFailed("GetTempPathW", path, ::GetLastError());
        return false;
    }
    wchar_t parked[MAX_PATH] = {};
    if (::GetTempFileNameW(temp, L"vxu", 0, parked) == 0) {
        LogCallFailed("GetTempFileNameW", temp, ::GetLastError());
        return false;
    }
    if (!::MoveFileExW(path.c_str(), parked, MOVEFILE_REPLACE_EXISTING)) {
        LogCallFailed("MoveFileExW", path, ::GetLastError());
        ::DeleteFileW(parked);
        return false;
    }
    if (!::MoveFileExW(parked, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        LogCallFailed("MoveFileExW (at restart)", parked, ::GetLastError());
    return true;
}

bool RemoveFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Gone(path);
    // A folder where the installation wrote a file is not the installation's.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        LogCallFailed("RemoveFile", path, ERROR_DIRECTORY);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (::DeleteFileW(path.c_str())) return true;
    const DWORD error = ::GetLastError();
    if (MoveOutAndDeleteAtRestart(path)) return true;
    LogCallFailed("DeleteFileW", path, error);
    // At least at the next restart.
    if (!::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        LogCallFailed("MoveFileExW (at restart)", path, ::GetLastError());
    return false;
}

bool RemoveFolder(const std::wstring& path) {
    if (Gone(path)) return true;
    if (DeleteTree(path) && Gone(path)) return true;
    // The shell gives no reason; what is left is what is in use.
    LogCallFailed("DeleteTree", path, ERROR_DIR_NOT_EMPTY);
    return false;
}

}  // namespace

InstallListWriter::InstallListWriter(const std::wstring& installPath)
    : prefix_(installPath + L"\\"), path_(ListPath(installPath)) {
    file_.reset(
        ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) LogCallFailed("CreateFileW", path_, ::GetLastError());
}

InstallListWriter::~InstallListWriter() {
    if (finished_ || !file_) return;
    file_.reset();
    ::DeleteFileW(path_.c_str());
}

bool InstallListWriter::Add(const std::wstring& path, bool folder) {
    if (!file_) return false;
    if (path.size() <= prefix_.size() || path.compare(0, prefix_.size(), prefix_) != 0) return true;
    pending_ += ToNarrow(path.substr(prefix_.size()) + (folder ? L"\\" : L""), CP_UTF8);
    pending_ += "\r\n";
    // Written in pieces of about this size.
    return pending_.size() < 64 * 1024 || Flush();
}

bool InstallListWriter::Finish() {
    if (!file_ || !Flush()) return false;
    // Closed here, so a failure to close is one to write.
    if (!::CloseHandle(file_.release())) {
        Fail("CloseHandle", ::GetLastError());
        return false;
    }
    finished_ = true;
    return true;
}

bool InstallListWriter::Flush() {
    if (pending_.empty()) return true;
    DWORD written = 0;
    if (!::WriteFile(file_.get(), pending_.data(), static_cast<DWORD>(pending_.size()), &written, nullptr)) {
        Fail("WriteFile", ::GetLastError());
        return false;
    }
    if (written != pending_.size()) {
        Fail("WriteFile", ERROR_HANDLE_DISK_FULL);
        return false;
    }
    pending_.clear();
    return true;
}

void InstallListWriter::Fail(const char* call, DWORD error) {
    file_.reset();
    ::DeleteFileW(path_.c_str());
    LogCallFailed(call, path_, error);
}

bool ReadInstallList(const std::wstring& installPath, std::vector<std::wstring>* lines) {
    lines->clear();
    const std::wstring path = ListPath(installPath);
    UniqueFile list(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!list) {
        LogCallFailed("CreateFileW", path, ::GetLastError());
        return false;
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(list.get(), &size) || size.QuadPart > kMaxListBytes) {
        LogCallFailed("GetFileSizeEx", path, size.QuadPart > kMaxListBytes ? ERROR_FILE_TOO_LARGE : ::GetLastError());
        return false;
    }
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!text.empty() &&
        (!::ReadFile(list.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) || read != text.size())) {
        LogCallFailed("ReadFile", path, ::GetLastError());
        return false;
    }
    // An editor may have put a byte-order mark in front.
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines->push_back(ToWide(line, CP_UTF8, MB_ERR_INVALID_CHARS));
        start = end + 1;
    }
    return true;
}

bool RemoveInstallation(const std::wstring& installPath) {
    if (installPath.empty()) return false;
    std::vector<std::wstring> lines;
    const bool listed = ReadInstallList(installPath, &lines);
    bool complete = true;
    std::vector<std::wstring> files, folders;
    for (std::wstring line : lines) {
        std::replace(line.begin(), line.end(), L'/', L'\\');
        const bool folder = !line.empty() && line.back() == L'\\';
        if (!IsSafeLine(line) || LeadsThroughLink(installPath, line)) {
            LogCallFailed("RemoveInstallation", L"refused line: " + line, ERROR_INVALID_NAME);
            complete = false;
            continue;
        }
        while (!line.empty() && line.back() == L'\\') line.pop_back();
        (folder ? folders : files).push_back(installPath + L"\\" + line);
    }

    const bool productFolder = IsProductFolder(installPath);
    // The uninstaller may still run from there; the folder cannot go before its file has.
    if (productFolder) files.push_back(installPath + kUninstallerFile);
    for (auto it = files.rbegin(); it != files.rend(); ++it) complete &= RemoveFile(*it);
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) complete &= RemoveFolder(*it);
    if (productFolder) return RemoveFolder(installPath) && complete;
    // Without a list nothing else is known to be ours; with something left the list still says what.
    return listed && complete && RemoveFile(ListPath(installPath));
}
