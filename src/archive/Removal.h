#pragma once
// Removing what belongs to an installation so that what goes is what was looked at. The process
// runs elevated in folders other programs can write: a folder checked and then deleted by path
// could meanwhile have become a junction to the user's files. So every folder on the way is held
// open, without sharing deletion (nobody can rename or replace it while it is held), and each
// file, folder or link is deleted through a handle opened on it itself, whose kind was checked on
// that handle. The cleanup, a failed extraction and the uninstaller remove nothing any other way.

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include <windows.h>

#include "archive/HeldWay.h"
#include "base/Owners.h"

// True where Windows deletes through a handle (SetFileInformationByHandle, Vista and later).
bool HandleDeletionAvailable() noexcept;

struct RemovalOptions {
    // A file Windows will not delete now (a running program's) leaves for a folder only
    // administrators can change, in the machine's common application data, and goes at the next
    // restart; where it cannot leave (another drive) it goes at the restart where it is, and so
    // do the folders it keeps, when that folder is one only administrators can change (see
    // OnlyAdministratorsChange). Either counts as gone; else it stays, and the log says so.
    bool moveOutInUse = false;
    // Deletes through the handle; false (Windows XP) by path, while the way there is held.
    bool byHandle = HandleDeletionAvailable();
};

struct RemovalItem;

// Which file or folder a handle is on, whatever its name.
struct FileIdentity {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const FileIdentity& other) const {
        return volume == other.volume && high == other.high && low == other.low;
    }
};

// Removes things below one folder (the root). Relative paths are "\"-separated, without ".",
// ".." or empty components (the callers' name checks see to that). Nothing is followed through a
// junction or symbolic link at or below the root: a link met on the way refuses the path, a link met
// as the thing to remove goes itself (where Windows shows it as one) and never what it points to.
// What could not be removed is logged; each call is true when nothing of its path is left.
class Removal {
public:
    explicit Removal(const std::wstring& root, RemovalOptions options = {});
    // The folder in-use files were moved to goes now when empty, else at the restart after them.
    ~Removal();
    Removal(const Removal&) = delete;
    Removal& operator=(const Removal&) = delete;

    bool RemoveFile(const std::wstring& relative);
    // The folder and everything in it.
    bool RemoveFolder(const std::wstring& relative);
    // The folder only when nothing is in it; a folder in use or not empty is no failure.
    void RemoveFolderIfEmpty(const std::wstring& relative);
    // The root itself and everything in it; a root that is a link goes itself.
    bool RemoveRoot();

private:
    // A folder being emptied, held from its listing to its own removal.
    struct Frame {
        std::wstring path;
        UniqueFile pin;
        DWORD attributes = 0;
        FileIdentity identity;
        std::vector<std::wstring> folders;  // still to go into
        size_t next = 0;
        bool left = false;       // something in it stays
        bool atRestart = false;  // something in it goes at the restart
    };
    enum class Way { Held, Missing, Refused };
    enum class Outcome { Gone, AtRestart, Left };

    Way Reach(const std::vector<std::wstring>& parts, size_t count);
    bool RemoveBelow(const std::wstring& relative, bool folder);
    std::wstring PathOf(const std::vector<std::wstring>& parts, size_t count) const;
    Outcome RemoveItem(const std::wstring& path, bool expectFolder, DWORD byPath = INVALID_FILE_ATTRIBUTES);
    Outcome RemoveHeldItem(RemovalItem* item, const std::wstring& path, bool quiet);
    Outcome RemoveTree(const std::wstring& path, RemovalItem folder);
    void Scan(Frame* frame);
    Outcome DeleteEmptied(Frame* frame);
    static void Note(Frame* frame, Outcome outcome);
    Outcome DeleteHeld(UniqueFile* held, const std::wstring& path, DWORD attributes, bool quiet);
    Outcome DeleteInUse(const std::wstring& path);
    bool ScheduleAtRestart(const std::wstring& path);
    bool ParkingReady();

    std::wstring root_;  // "\\?\" form; empty when the root cannot be used
    RemovalOptions options_;
    HeldWay way_;
    std::unordered_set<uint64_t> atRestart_;
    // Where in-use files are moved to, made at the first; empty when none could be made.
    std::wstring parking_;
    UniqueFile parkingHeld_;
    bool parkingTried_ = false;
    size_t parked_ = 0;
};

// Deletes a file or folder tree permanently, silently, without the recycle bin (a Removal of the
// path's own root). A path naming a device, or a drive's root, is refused. True when nothing of
// the tree is left.
bool DeleteTree(const std::wstring& path);
