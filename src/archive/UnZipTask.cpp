#include "archive/UnZipTask.h"

#include <shlwapi.h>

#include <algorithm>

#include "app/Log.h"
#include "app/ModulePath.h"
#include "archive/FolderRemoval.h"
#include "archive/PreviousInstall.h"
#include "archive/ZipReader.h"
#include "tasks/InstallMessages.h"

namespace {

// Closes the archive on every way out; CloseArchive also resets lastArchiveError.
struct ArchiveCloser {
    ArchiveHandle* handle;
    ~ArchiveCloser() { CloseArchive(handle); }
};

}  // namespace

bool UnZipTask::ExtractAll(const std::wstring& archivePath, int32_t* progress) {
    ArchiveHandle* archive = OpenArchive(archivePath.c_str());
    ArchiveCloser closer{archive};

    ArchiveEntry entry = {};
    int32_t count = 0;
    if (archive != nullptr && GetArchiveEntry(archive, -1, &entry) == kArchiveOk) count = entry.index;

    bool success = false;
    for (int32_t i = 0; i < count; ++i) {
        entry = {};
        // Its result is not needed: a failing entry fails its extraction below.
        (void)GetArchiveEntry(archive, i, &entry);
        // A name that would land outside the install folder fails the whole archive.
        if (!IsSafeEntryName(entry.name)) {
            success = false;
            break;
        }
        std::wstring target = installPath + L"\\" + entry.name;
        std::replace(target.begin(), target.end(), L'/', L'\\');

        const size_t slash = target.rfind(L'\\');
        const std::wstring folder = target.substr(0, slash);
        if (!::PathFileExistsW(folder.c_str()) && ::CreateDirectoryW(folder.c_str(), nullptr))
            createdFolders_.push_back(folder);
        if (::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) ::DeleteFileW(target.c_str());

        lastArchiveError = ExtractEntry(archive, i, target.c_str());
        // A target that could not even be created was never ours: leave it to its owner.
        if (!(entry.attr & FILE_ATTRIBUTE_DIRECTORY) && lastArchiveError != kArchiveErrOpenFile)
            createdFiles_.push_back(target);
        if (lastArchiveError != kArchiveOk) {
            success = false;
            break;
        }
        success = true;
        if (i % 10 == 0) {
            *progress += 5;
            PostProgress(mainWindow, *progress);
        }
    }
    return success;
}

void UnZipTask::RemoveAfterFailure() {
    if (IsProductFolder(installPath)) {
        if (!DeleteTree(installPath)) DebugTrace(L"failed to delete file");
        return;
    }
    // A folder of the user's own: only what this run created goes, deepest first.
    bool ok = true;
    for (auto it = createdFiles_.rbegin(); it != createdFiles_.rend(); ++it)
        if (::GetFileAttributesW(it->c_str()) != INVALID_FILE_ATTRIBUTES) ok &= ::DeleteFileW(it->c_str()) != FALSE;
    for (auto it = createdFolders_.rbegin(); it != createdFolders_.rend(); ++it) ok &= DeleteTree(*it);
    if (!ok) DebugTrace(L"failed to delete file");
}

void UnZipTask::Run() {
    CleanPreviousInstall(*this);
    DebugTrace(L"UnZipTask enter excute");
    createdFolders_.clear();
    createdFiles_.clear();

    int32_t progress = progressBase;
    const bool success = ExtractAll(ModuleDirectory() + L"\\platform.zip", &progress);

    if (success) {
        DebugTrace(L"UnZipTask exit excute");
        next = successor_ != nullptr ? successor_(mainWindow, progress) : nullptr;
        if (next != nullptr) next->SetInstallPath(installPath);
        return;
    }
    RemoveAfterFailure();
    PostDiskSpaceError(mainWindow);
    next = nullptr;
}
