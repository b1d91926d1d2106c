#pragma once
// In a folder of the user's own, the earlier installation cannot be swapped whole: its files share
// the folder with the user's. Those the cleanup would remove (what its install list names, or
// without one the payload's names) are moved into a hidden folder inside it instead, and go only
// once the new version is whole; after a failure, or at the next start after an interruption,
// what the run made goes and they are moved back. The user's own files are never moved.

#include <windows.h>

#include <string>

// The hidden folder inside the install folder; the moved files keep their places below it.
std::wstring FilesAsideFolderOf(const std::wstring& installPath);

class FilesAside {
public:
    FilesAside(std::wstring installPath, std::wstring payloadPath);
    ~FilesAside();  // begun and neither committed nor restored: restored
    FilesAside(const FilesAside&) = delete;
    FilesAside& operator=(const FilesAside&) = delete;

    // Records the run, moves the earlier installation's files aside, and notes which of the
    // payload's names the extraction will make (for a later start to take back). Files other
    // programs hold open are waited for up to heldWaitMs. False, with the file and its holder in
    // the log: everything is back in place.
    bool Begin(DWORD heldWaitMs);
    // The new version is whole: the files aside go (those in use at the next restart).
    void Commit();
    // The extraction failed and what it made is gone: the files go back.
    void Restore();

private:
    // False, logged, when a file held open stays; what moved is for Restore to bring back.
    bool MoveEarlierAside(DWORD heldWaitMs);
    void NoteWhatIsMade(bool empty);

    std::wstring installPath_;
    std::wstring payloadPath_;
    bool begun_ = false;
};

// For the start-up: what an interrupted run in a folder of the user's left (its files aside): what
// it made goes, the files aside go back. True when nothing of it is left.
bool RestoreFilesAside(const std::wstring& installPath);
