#pragma once
// Replacing the product's folder by a new version extracted beside it: the earlier installation
// stays whole and usable until two renames put the new one in its place, and an interrupted run
// is finished or undone by the next start of the installer.

#include <windows.h>

#include <functional>
#include <string>

#include "base/Owners.h"

// Where the new version is extracted, beside the install folder and so on its volume, and where
// the earlier one goes for the moment of the swap.
std::wstring NewFolderOf(const std::wstring& installPath);
std::wstring AsideFolderOf(const std::wstring& installPath);

class FolderSwap {
public:
    // The moments a run passes, for tests that end the process there: the new folder whole, the
    // earlier one aside, the new one in place.
    enum Step { kWhole, kAside, kInPlace };
    using StepHook = std::function<void(Step)>;

    explicit FolderSwap(std::wstring installPath, StepHook hook = nullptr);
    ~FolderSwap();  // a swap begun and not committed is abandoned
    FolderSwap(const FolderSwap&) = delete;
    FolderSwap& operator=(const FolderSwap&) = delete;

    // Clears what an earlier run left beside the install folder, records the swap, and makes the
    // new folder, empty and hidden. False, logged, when the new folder cannot be made.
    bool Begin();
    const std::wstring& NewFolder() const { return newFolder_; }
    // The new folder is written whole.
    void Whole() {
        if (hook_) hook_(kWhole);
    }

    // Puts the new folder in the install folder's place: the earlier installation aside, the new
    // one in, then the earlier one removed (files in use at the next restart) on a thread of its
    // own, whose handle goes to *afterwards (empty when it was removed at once). Waits up to
    // heldWaitMs for files of the earlier installation that other programs hold open (those the
    // cleanup just ended let go of theirs). False, with the file and its holder in the log: the
    // earlier installation is in place and whole, and the new folder is gone.
    bool Commit(DWORD heldWaitMs, UniqueHandle* afterwards);
    // Removes the new folder; the earlier installation was never touched.
    void Abandon();

private:
    static DWORD WINAPI RemoveAside(void* installPath);

    std::wstring installPath_;
    std::wstring newFolder_;
    std::wstring asideFolder_;
    StepHook hook_;
    bool begun_ = false;
};

// Undoes or finishes a swap of `installPath` that a run left: before the new folder was renamed
// into place the earlier installation goes back, after it only the earlier one's leftovers remain.
// True when nothing of it is left beside the folder.
bool ClearSwapOf(const std::wstring& installPath);

// What an interrupted run left (recorded under the local machine's key, which only
// administrators can write): before the new folder was renamed into place the swap is undone,
// after it finished, and the folders beside the install folder go. Run at start-up, before
// anything else; a record whose folders cannot be cleared yet stays for the next start. A run in a
// folder of the user's is cleared too (RestoreFilesAside).
void ClearUnfinishedSwaps();

// For the unhandled-exception path: puts back the earlier installation when this process is
// between the two renames, so a fault never leaves the install folder without a whole version.
// Allocates nothing and takes no lock; safe on any thread, called at most once.
void UndoSwapInProgress() noexcept;
