#include "archive/Extraction.h"

#include <algorithm>
#include <deque>
#include <unordered_set>
#include <utility>

#include "archive/FileFiller.h"
#include "archive/FolderRemoval.h"
#include "archive/HeldWay.h"
#include "archive/InstallList.h"
#include "archive/Removal.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Product.h"
#include "tasks/InstallMessages.h"

namespace {

// Folders the extraction keeps held after an entry leaves them.
constexpr size_t kKeptFolders = 1024;

// What a path kept costs beside its characters, about.
constexpr size_t kPathOverhead = 48;

size_t CostOf(const std::wstring& path) { return path.size() * sizeof(wchar_t) + kPathOverhead; }

// An entry's target exactly as the extraction builds it; empty for a name it refuses.
std::wstring TargetOf(const std::wstring& root, const wchar_t* name) {
    std::wstring target;
    return EntryTargetPath(root, name, &target) ? target : std::wstring();
}

// A target always holds the backslash after the install folder.
std::wstring FolderOf(const std::wstring& target) { return target.substr(0, target.rfind(L'\\')); }

// An entry's target as the extraction named it, or its folder; false when the archive cannot
// describe the entry again.
bool PathOf(ArchiveHandle* archive, const std::wstring& root, uint32_t index, bool folder,
            std::wstring* path) {
    ArchiveEntry entry = {};
    if (GetArchiveEntry(archive, static_cast<int32_t>(index), &entry) != kArchiveOk) return false;
    *path = TargetOf(root, entry.name);
    if (path->empty()) return false;
    if (folder) *path = FolderOf(*path);
    return true;
}

// Hands the paths of `entries` (in archive order) to `visit`, last first. The reader goes back
// by walking its directory again from the first entry, so they are read a block at a time, each
// block forwards. An entry that cannot be read again is passed over, and the result says so, as
// it does a visit that fails.
template <typename Visit>
bool VisitLastFirst(ArchiveHandle* archive, const std::wstring& root, const std::vector<uint32_t>& entries,
                    bool folders, size_t blockBytes, Visit visit) {
    // Counted at their longest: the install folder, a backslash and a name of 259 characters.
    const size_t longest = (root.size() + 260) * sizeof(wchar_t) + kPathOverhead;
    const size_t perBlock = std::max<size_t>(1, blockBytes / longest);
    bool complete = true;
    std::vector<std::wstring> block;
    for (size_t end = entries.size(); end > 0;) {
        const size_t begin = end > perBlock ? end - perBlock : 0;
        block.clear();
        for (size_t k = begin; k < end; ++k) {
            std::wstring path;
            if (PathOf(archive, root, entries[k], folders, &path)) block.push_back(std::move(path));
            else complete = false;
        }
        for (auto it = block.rbegin(); it != block.rend(); ++it) complete &= visit(*it);
        end = begin;
    }
    return complete;
}

// The folders this run created, case folded: nothing can be in one but what this run wrote
// there. The most recently used are remembered, up to a budget; a folder forgotten is asked of
// the file system again, which answers as the memory would, only more slowly.
class NewFolders {
public:
    explicit NewFolders(size_t budget) : budget_(budget) {}

    bool Contains(const std::wstring& key) {
        if (recent_.count(key) != 0) return true;
        auto node = older_.extract(key);
        if (node.empty()) return false;
        recentBytes_ += CostOf(node.value());
        recent_.insert(std::move(node));
        Age();
        return true;
    }
    void Add(std::wstring key) {
        recentBytes_ += CostOf(key);
        recent_.insert(std::move(key));
        Age();
    }

private:
    // Two halves: when the recent one is full, the older one, which nothing used meanwhile, goes.
    void Age() {
        if (recentBytes_ <= budget_ / 2) return;
        older_ = std::move(recent_);
        recent_.clear();
        recentBytes_ = 0;
    }

    const size_t budget_;
    std::unordered_set<std::wstring> recent_;
    std::unordered_set<std::wstring> older_;
    size_t recentBytes_ = 0;
};

// A file name that may be a short (8.3) alias of another file's long name: Windows makes them with a
// "~" and a digit, Wine with a "~" and three letters or digits, and both open the long one by it.
bool MayBeShortAlias(const std::wstring& target) {
    const size_t start = target.rfind(L'\\') + 1;
    return target.size() - start <= 12 && target.find(L'~', start) != std::wstring::npos;
}

// Which targets need not be asked for: nothing can be in a folder this run created but what this
// run wrote there, and asking anyway would cost a directory scan per file where names are matched
// without regard to case, for an answer known in advance. A short alias may name a file written
// under its long name, maybe still being closed.
class FreshTargets {
public:
    explicit FreshTargets(size_t budget) : newFolders_(budget) {}

    // The target's folder (case folded) was made by this run; `made`: just now.
    bool InNewFolder(std::wstring folderKey, bool made) {
        if (!made) return newFolders_.Contains(folderKey);
        newFolders_.Add(std::move(folderKey));
        return true;
    }
    // True when the target is known not to be there; it counts as written from now on.
    bool KnownAbsent(const std::wstring& target, bool inNewFolder) {
        const uint64_t key = PathKey(target);
        const bool absent = inNewFolder && written_.count(key) == 0 && !MayBeShortAlias(target);
        written_.insert(key);
        return absent;
    }

private:
    NewFolders newFolders_;
    // Every target written, case folded, by hash: a target that only seems written (another's
    // hash) is asked of the file system, as any target outside a new folder is.
    std::unordered_set<uint64_t> written_;
};

// Progress owed for entries whose files are not closed whole yet, posted once they are.
class OwedProgress {
public:
    void Owe(uint32_t entry, int32_t percent) { owed_.emplace_back(entry, percent); }
    void PostClosedBelow(HWND window, uint32_t closedBelow) {
        for (; !owed_.empty() && owed_.front().first < closedBelow; owed_.pop_front())
            PostProgress(window, owed_.front().second);
    }

private:
    std::deque<std::pair<uint32_t, int32_t>> owed_;  // entry, percent
};

}  // namespace

Extraction::Extraction(std::wstring root, HWND window, ExtractionOptions options)
    : root_(std::move(root)), window_(window), options_(std::move(options)) {}

bool Extraction::Run(ArchiveHandle* archive, const std::wstring& payload, HANDLE heldPayload, int32_t* progress) {
    ArchiveEntry entry = {};
    int32_t count = 0;
    if (archive != nullptr && GetArchiveEntry(archive, -1, &entry) == kArchiveOk) count = entry.index;
    FreshTargets fresh(options_.pathMemoryBytes);
    // Files are closed behind the extraction. What a run in turn would have done is kept: an entry
    // counts as extracted once its file is closed whole, progress is owed until then, and a failed
    // close ends the extraction as any failure does.
    FileCloser closer(options_.closerThreads, options_.beforeClose);
    // This thread creates the files and another fills them, meanwhile; it goes before the closer
    // it hands them to. Without closers everything is done in turn, one entry after another.
    FileFiller filler(payload, heldPayload, &closer, options_.closerThreads > 0);
    // Entries come back to the folders they left: those stay held rather than being opened and
    // looked at again (each look at a folder is several round trips to Wine's server and its mount
    // manager).
    HeldWay way(root_, kKeptFolders);
    const size_t rootLength = way.root().size();
    OwedProgress owed;
    const auto postClosed = [&] {
        // The filler first: a file it hands over meanwhile is with the closer when that is asked.
        const uint32_t unfilled = filler.FirstUnfilled();
        owed.PostClosedBelow(window_, std::min(unfilled, closer.FirstNotClosed()));
    };
    // Every file handed over filled and closed; false when one of them failed.
    const auto finishAll = [&] {
        const bool filled = filler.Finish() == kArchiveOk;
        closer.Drain();
        return filled && closer.FirstFailure() == FileCloser::kNone;
    };
    bool success = false;
    for (int32_t i = 0; i < count && closer.FirstFailure() == FileCloser::kNone && !filler.Failed(); ++i) {
        entry = {};
        // Its result is not needed: a failing entry fails its extraction below.
        (void)GetArchiveEntry(archive, i, &entry);
        // A name that would land outside the install folder fails the whole archive.
        std::wstring target;
        if (!EntryTargetPath(root_, entry.name, &target)) {
            success = false;
            break;
        }
        const std::wstring folder = FolderOf(target);
        // Checked when the payload was, but a link may have come since: the way is held while the
        // entry's file is created, so that what was checked is where it goes; its data goes
        // through the handle.
        bool made = false;
        const HeldWay::State state =
            way.Hold(folder.size() > rootLength ? folder.substr(rootLength + 1) : std::wstring(), true, &made);
        if (made) madeFolders_.push_back(static_cast<uint32_t>(i));
        const bool inNewFolder = fresh.InNewFolder(FoldCase(folder), made);
        // A file with nowhere to go fails as its creation would.
        if (state == HeldWay::kRefused || (state == HeldWay::kAbsent && !(entry.attr & FILE_ATTRIBUTE_DIRECTORY))) {
            success = false;
            break;
        }
        if (!fresh.KnownAbsent(target, inNewFolder) && ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
            // A file is replaced only once all before it are closed whole: it may be one of them,
            // and a failure among them would have kept it.
            if (!finishAll()) break;
        }

        // Created in the folder held for it, by its handle. Decided on the code returned: the
        // last-error slot is only this thread's last word.
        UniqueFile file;
        int32_t result = CreateEntryTarget(archive, i, target.c_str(), &file, way.Deepest());
        if (result == kArchiveOk && file) {
            if (filler.Started())
                filler.Fill(i, std::move(file));
            else if ((result = FillEntryTarget(archive, i, file.get())) != kArchiveOk)
                file.reset();
        }
        // A target that could not even be created was never ours: leave it to its owner.
        if (!(entry.attr & FILE_ATTRIBUTE_DIRECTORY) && result != kArchiveErrOpenFile)
            madeFiles_.push_back(static_cast<uint32_t>(i));
        if (result != kArchiveOk) {
            success = false;
            break;
        }
        if (file) closer.Close(static_cast<uint32_t>(i), std::move(file));
        success = true;
        if (i % 10 == 0) {
            *progress += 5;
            owed.Owe(static_cast<uint32_t>(i), *progress);
        }
        postClosed();
    }
    // Every file filled and closed before anything is decided or removed.
    if (!finishAll()) success = false;
    postClosed();
    DWORD error = ERROR_SUCCESS;
    const uint32_t closeFailed = closer.FirstFailure(&error);
    if (closeFailed != FileCloser::kNone) {
        std::wstring path;
        (void)PathOf(archive, root_, closeFailed, false, &path);
        LogCallFailed("CloseHandle", path, error);
        success = false;
    }
    return success;
}

bool Extraction::RemoveMade(ArchiveHandle* archive) const {
    Removal removal(root_);
    const auto below = [this](const std::wstring& path) { return path.substr(root_.size() + 1); };
    bool ok = VisitLastFirst(archive, root_, madeFiles_, false, options_.pathMemoryBytes,
                             [&](const std::wstring& file) { return removal.RemoveFile(below(file)); });
    ok &= VisitLastFirst(archive, root_, madeFolders_, true, options_.pathMemoryBytes,
                         [&](const std::wstring& folder) { return removal.RemoveFolder(below(folder)); });
    return ok;
}

bool Extraction::WriteList(ArchiveHandle* archive) const {
    InstallListWriter list(root_);
    for (const bool folders : {true, false}) {
        for (const uint32_t index : folders ? madeFolders_ : madeFiles_) {
            std::wstring path;
            if (!PathOf(archive, root_, index, folders, &path)) {
                // The unfinished list goes with the writer: one that leaves out what was made would lie.
                const DWORD error = static_cast<DWORD>(lastArchiveError);
                LogCallFailed("GetArchiveEntry", ModuleDirectory() + kPayloadFile, error);
                return false;
            }
            if (!list.Add(path, folders)) return false;
        }
    }
    return list.Finish();
}

