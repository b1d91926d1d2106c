#pragma once
// The folders from a root down to one below it, held open without sharing deletion: while they are
// held, none of them can be renamed, removed or replaced (by a link or anything else), so a path
// through them leads where it led when they were looked at; and none of them, the root included,
// is a junction or symbolic link. The extraction writes, and the removal deletes, only through a
// way held so. Kept from call to call for as much of the way as stays the same.

#include <windows.h>

#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/Owners.h"

// The components of a "\"-separated path, empty ones dropped.
std::vector<std::wstring> SplitComponents(const std::wstring& relative);

// A clear "not there", as opposed to a path that cannot be looked at.
inline bool IsNotFound(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The attributes of what `handle` is open on (a reparse point when it is a link opened on itself).
bool HandleAttributes(HANDLE handle, DWORD* attributes);

class HeldWay {
public:
    enum State { kHeld, kAbsent, kRefused };

    // keep: how many folders left behind stay held, to be taken up again without being opened and
    // looked at anew (the extraction comes back to the same folders often). 0: none.
    explicit HeldWay(std::wstring root, size_t keep = 0);
    HeldWay(const HeldWay&) = delete;
    HeldWay& operator=(const HeldWay&) = delete;

    // Holds the root and the folders of `relative` ("\"-separated, below the root; empty: the root
    // alone), and lets go of any deeper. kAbsent: a folder of the way is missing or is a file; with
    // `makeLast` the last one, when missing, is made first in its held parent (*made tells).
    // kRefused, logged: a link, or a folder that cannot be held.
    State Hold(const std::wstring& relative, bool makeLast = false, bool* made = nullptr);
    // The same for the first `count` of `parts`, the components below the root.
    State Hold(const std::vector<std::wstring>& parts, size_t count, bool makeLast = false, bool* made = nullptr);
    // Lets go of everything.
    void Release() {
        held_.clear();
        kept_.clear();
        keptByPath_.clear();
    }

    const std::wstring& root() const { return root_; }
    // The deepest folder held (the last one of the way Hold was given), or null.
    HANDLE Deepest() const { return held_.empty() ? nullptr : held_.back().handle.get(); }

private:
    struct Level {
        std::wstring key;  // the component, case folded
        UniqueFile handle;
    };
    struct Kept {
        std::wstring path;  // below the root, case folded
        UniqueFile handle;
    };
    void Keep(size_t from);
    void Forget(std::list<Kept>::iterator kept);
    std::wstring PathKey(size_t levels) const;

    std::wstring root_;
    std::vector<Level> held_;  // held_[0] is the root
    size_t keep_;
    // Left behind, oldest first. A folder goes with everything kept below it: a folder is taken
    // up again only while every folder above it has stayed held since it was looked at.
    std::list<Kept> kept_;
    std::unordered_map<std::wstring, std::list<Kept>::iterator> keptByPath_;
};
