#include "archive/InstallList.h"

#include <windows.h>

#include <algorithm>

#include "archive/FolderRemoval.h"
#include "archive/Removal.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/Text.h"

namespace {

// The longest list an extraction can write: a zip holds at most 65,535 entries, each a file and a
// folder of its own at most, a name of 259 UTF-16 units each up to three bytes of UTF-8 (a lone
// surrogate becomes the three bytes of a replacement character), with a backslash and a line end;
// then the first line and an editor's byte-order mark. A bigger file is not one of ours.
constexpr LONGLONG kMaxListBytes = 3 + sizeof kInstallListHeader + 2 + 65535LL * 2 * (259 * 3 + 1 + 2);

std::wstring ListPath(const std::wstring& installPath) { return installPath + kInstallListFile; }

}  // namespace

std::wstring ListedPath(const std::wstring& line, bool* folder) {
    std::wstring target;
    if (line.empty() || !EntryTargetPath(std::wstring(), line, &target)) return {};
    *folder = target.back() == L'\\';
    while (!target.empty() && target.back() == L'\\') target.pop_back();
    return target.size() > 1 ? target.substr(1) : std::wstring();
}


InstallListWriter::InstallListWriter(const std::wstring& installPath) : InstallListWriter(installPath, installPath) {}

InstallListWriter::InstallListWriter(const std::wstring& installPath, const std::wstring& listFolder)
    : prefix_(installPath + L"\\"), path_(ListPath(listFolder)), folder_(listFolder) {
    // Whatever has the name now goes itself first: written through, a link or a second name of
    // another file would overwrite that file.
    if (folder_) file_ = OpenFileIn(folder_, kInstallListFile + 1, FileIn::kReplace, GENERIC_WRITE, 0);
    if (!file_) LogCallFailed("CreateFileW", path_, ::GetLastError());
    pending_ = std::string(kInstallListHeader) + "\r\n";
}

InstallListWriter::~InstallListWriter() {
    if (finished_ || !file_) return;
    file_.reset();
    RemoveNameIn(folder_.get(), folder_.path(), kInstallListFile + 1);
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
    // Held no longer than the list is written: the folder may be renamed next.
    folder_ = HeldFolder();
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
    RemoveNameIn(folder_.get(), folder_.path(), kInstallListFile + 1);
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
    // Read a piece at a time: the longest list is about a hundred megabytes.
    std::string pending;
    std::vector<char> piece(64 * 1024);
    bool first = true, ours = false;
    const auto take = [&](std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            first = false;
            // An editor may have put a byte-order mark in front.
            if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
            ours = line == kInstallListHeader;
            return;
        }
        if (!line.empty()) lines->push_back(ToWide(line, CP_UTF8, MB_ERR_INVALID_CHARS));
    };
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(list.get(), piece.data(), static_cast<DWORD>(piece.size()), &read, nullptr)) {
            LogCallFailed("ReadFile", path, ::GetLastError());
            lines->clear();
            return false;
        }
        if (read == 0) break;
        pending.append(piece.data(), read);
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            take(pending.substr(start, end - start));
        pending.erase(0, start);
        if (!first && !ours) break;
    }
    if (!pending.empty()) take(pending);
    if (!ours) {
        // Another tool's, hand-made, or written before lists had their first line: not ours to follow.
        LogCallFailed("ReadInstallList (not the installer's list)", path, ERROR_BAD_FORMAT);
        lines->clear();
        return false;
    }
    return true;
}

bool RemoveListedInstallation(const std::wstring& installPath, const std::vector<std::wstring>& lines, bool listed) {
    if (installPath.empty()) return false;
    bool complete = true;
    std::vector<std::wstring> files, folders;
    for (const std::wstring& line : lines) {
        bool folder = false;
        const std::wstring relative = ListedPath(line, &folder);
        if (relative.empty()) {
            LogCallFailed("RemoveInstallation", L"refused line: " + line, ERROR_INVALID_NAME);
            complete = false;
            continue;
        }
        (folder ? folders : files).push_back(relative);
    }
    // Files in use (the uninstaller's own original) go at the next restart.
    RemovalOptions options;
    options.moveOutInUse = true;
    Removal removal(installPath, options);
    const bool productFolder = IsProductFolder(installPath);
    // The uninstaller may still run from there; the folder cannot go before its file has.
    if (productFolder) files.push_back(kUninstallerFile + 1);
    for (auto it = files.rbegin(); it != files.rend(); ++it) complete &= removal.RemoveFile(*it);
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) complete &= removal.RemoveFolder(*it);
    if (productFolder) return removal.RemoveRoot() && complete;
    // Without a list nothing else is known to be ours; with something left the list still says what.
    return listed && complete && removal.RemoveFile(kInstallListFile + 1);
}

bool RemoveInstallation(const std::wstring& installPath) {
    std::vector<std::wstring> lines;
    const bool listed = !installPath.empty() && ReadInstallList(installPath, &lines);
    return RemoveListedInstallation(installPath, lines, listed);
}
