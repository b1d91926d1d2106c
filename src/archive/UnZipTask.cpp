#include "archive/UnZipTask.h"

#include <shlwapi.h>

#include <algorithm>
#include <unordered_set>

#include "base/Log.h"
#include "base/ModulePath.h"
#include "archive/DiskSpace.h"
#include "archive/FolderRemoval.h"
#include "archive/PayloadCheck.h"
#include "archive/InstallList.h"
#include "base/Product.h"
#include "archive/PreviousInstall.h"
#include "archive/ZipReader.h"
#include "tasks/InstallMessages.h"

namespace {

// Windows compares names without regard to case.
std::wstring FoldCase(std::wstring path) {
    if (!path.empty()) ::CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    return path;
}

}  // namespace

bool UnZipTask::ExtractAll(const std::wstring& archivePath, int32_t* progress) {
    const UniqueArchive owner(OpenArchive(archivePath.c_str()));
    ArchiveHandle* const archive = owner.get();

    ArchiveEntry entry = {};
    int32_t count = 0;
    if (archive != nullptr && GetArchiveEntry(archive, -1, &entry) == kArchiveOk) count = entry.index;

    // Folders this run created, and every target it has written, case folded.
    std::unordered_set<std::wstring> newFolders;
    std::unordered_set<std::wstring> written;
    bool success = false;
    for (int32_t i = 0; i < count; ++i) {
        entry = {};
        // Its result is not needed: a failing entry fails its extraction below.
        (void)GetArchiveEntry(archive, i, &entry);
        // A name that would land outside the install folder fails the whole archive.
        std::wstring target;
        if (!EntryTargetPath(installPath, entry.name, &target)) {
            success = false;
            break;
        }

        const size_t slash = target.rfind(L'\\');
        const std::wstring folder = target.substr(0, slash);
        const std::wstring folderKey = FoldCase(folder);
        bool folderIsNew = newFolders.count(folderKey) != 0;
        if (!folderIsNew && !::PathFileExistsW(folder.c_str()) && ::CreateDirectoryW(folder.c_str(), nullptr)) {
            createdFolders_.push_back(folder);
            newFolders.insert(folderKey);
            folderIsNew = true;
        }
        // Nothing can be in a folder this run created but what this run wrote there; asking
        // anyway would cost a directory scan per file where names are matched without regard
        // to case, for an answer known in advance.
        const std::wstring targetKey = FoldCase(target);
        const bool knownAbsent = folderIsNew && written.count(targetKey) == 0;
        if (!knownAbsent && ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES)
            ::DeleteFileW(target.c_str());
        written.insert(targetKey);

        // Decided on the code returned: the last-error slot is only this thread's last word.
        const int32_t result = ExtractEntry(archive, i, target.c_str());
        // A target that could not even be created was never ours: leave it to its owner.
        if (!(entry.attr & FILE_ATTRIBUTE_DIRECTORY) && result != kArchiveErrOpenFile) createdFiles_.push_back(target);
        if (result != kArchiveOk) {
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
    // Before the cleanup: a drive too small must leave the earlier installation usable, so
    // nothing is removed and nothing written.
    const std::wstring payload = ModuleDirectory() + kPayloadFile;
    if (!PayloadFitsOnDrive(installPath, payload)) {
        PostDiskSpaceError(mainWindow);
        next = nullptr;
        return;
    }
    // And a damaged payload must not cost a working installation: whatever can be known of it is
    // checked before the cleanup, the same failure as today, nothing touched. The extraction keeps
    // its own checks: the file may change in between.
    std::wstring problem;
    if (!PayloadIsWhole(payload, installPath, &problem)) {
        LogFormatW(g_log, L"%s", problem.c_str());
        // An empty product folder (the folder check just made it) goes, as after a failed extraction;
        // one with anything in it stays whole.
        if (IsProductFolder(installPath)) ::RemoveDirectoryW(installPath.c_str());
        PostDiskSpaceError(mainWindow);
        next = nullptr;
        return;
    }
    CleanPreviousInstall(*this);
    DebugTrace(L"UnZipTask enter excute");
    createdFolders_.clear();
    createdFiles_.clear();

    int32_t progress = progressBase;
    const bool success = ExtractAll(payload, &progress);

    if (success) {
        // Last, so only a whole extraction has a list; one that cannot be written is logged and
        // the installation goes on.
        (void)WriteInstallList(installPath, createdFolders_, createdFiles_);
        DebugTrace(L"UnZipTask exit excute");
        ChainNext(successor_, progress);
        return;
    }
    RemoveAfterFailure();
    PostDiskSpaceError(mainWindow);
    next = nullptr;
}
