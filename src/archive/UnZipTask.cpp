#include "archive/UnZipTask.h"

#include <shlwapi.h>

#include <algorithm>
#include <deque>
#include <unordered_set>
#include <utility>

#include "base/Log.h"
#include "base/ModulePath.h"
#include "archive/DiskSpace.h"
#include "archive/FileFiller.h"
#include "archive/FolderRemoval.h"
#include "archive/HeldWay.h"
#include "archive/PayloadCheck.h"
#include "archive/InstallList.h"
#include "base/Product.h"
#include "base/Text.h"
#include "archive/PreviousInstall.h"
#include "archive/Removal.h"
#include "archive/ZipReader.h"
#include "tasks/InstallMessages.h"

namespace {

// Folders the extraction keeps held after an entry leaves them.
constexpr size_t kKeptFolders = 1024;

// What a path kept costs beside its characters, about.
constexpr size_t kPathOverhead = 48;

size_t CostOf(const std::wstring& path) { return path.size() * sizeof(wchar_t) + kPathOverhead; }

// An entry's target exactly as the extraction builds it; empty for a name it refuses.
std::wstring TargetOf(const std::wstring& installPath, const wchar_t* name) {
    std::wstring target;
    return EntryTargetPath(installPath, name, &target) ? target : std::wstring();
}

// A target always holds the backslash after the install folder.
std::wstring FolderOf(const std::wstring& target) { return target.substr(0, target.rfind(L'\\')); }

// An entry's target as the extraction named it, or its folder; false when the archive cannot
// describe the entry again.
bool PathOf(ArchiveHandle* archive, const std::wstring& installPath, uint32_t index, bool folder,
            std::wstring* path) {
    ArchiveEntry entry = {};
    if (GetArchiveEntry(archive, static_cast<int32_t>(index), &entry) != kArchiveOk) return false;
    *path = TargetOf(installPath, entry.name);
    if (path->empty()) return false;
    if (folder) *path = FolderOf(*path);
    return true;
}

// Hands the paths of `entries` (in archive order) to `visit`, last first. The reader goes back
// by walking its directory again from the first entry, so they are read a block at a time, each
// block forwards. An entry that cannot be read again is passed over, and the result says so, as
// it does a visit that fails.
template <typename Visit>
bool VisitLastFirst(ArchiveHandle* archive, const std::wstring& installPath, const std::vector<uint32_t>& entries,
                    bool folders, size_t blockBytes, Visit visit) {
    // Counted at their longest: the install folder, a backslash and a name of 259 characters.
    const size_t longest = (installPath.size() + 260) * sizeof(wchar_t) + kPathOverhead;
    const size_t perBlock = std::max<size_t>(1, blockBytes / longest);
    bool complete = true;
    std::vector<std::wstring> block;
    for (size_t end = entries.size(); end > 0;) {
        const size_t begin = end > perBlock ? end - perBlock : 0;
        block.clear();
        for (size_t k = begin; k < end; ++k) {
            std::wstring path;
            if (PathOf(archive, installPath, entries[k], folders, &path)) block.push_back(std::move(path));
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

// The payload's SHA-256 against its pin, on a thread of its own beside the check's reading of the
// same file (the second reader finds it in the cache); in turn when no thread can be had.
class PinHashing {
public:
    PinHashing(HANDLE held, const std::string& pin) : held_(held), pin_(pin) {
        if (pin_.empty()) return;
        thread_.reset(::CreateThread(nullptr, 0, Work, this, 0, nullptr));
        if (!thread_) Work(this);
    }
    ~PinHashing() { Wait(); }
    PinHashing(const PinHashing&) = delete;
    PinHashing& operator=(const PinHashing&) = delete;

    // False, with the reason in *problem, when the payload is not the pinned one.
    bool Matches(std::wstring* problem) {
        Wait();
        if (result_ != PinCheck::Differs) return true;
        *problem = L"platform.zip is not the release's own: SHA-256 " + ToWide(found_, CP_UTF8) + L", pinned " +
                   ToWide(pin_, CP_UTF8);
        return false;
    }

private:
    static DWORD WINAPI Work(void* self) {
        auto* me = static_cast<PinHashing*>(self);
        me->result_ = CheckAgainst(me->held_, me->pin_, &me->found_);
        return 0;
    }
    void Wait() {
        if (thread_) ::WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }

    HANDLE held_;
    const std::string pin_;
    PinCheck result_ = PinCheck::NotPinned;
    std::string found_;
    UniqueHandle thread_;
};

}  // namespace

bool UnZipTask::ExtractAll(ArchiveHandle* archive, const std::wstring& payload, HANDLE heldPayload,
                           int32_t* progress) {
    ArchiveEntry entry = {};
    int32_t count = 0;
    if (archive != nullptr && GetArchiveEntry(archive, -1, &entry) == kArchiveOk) count = entry.index;
    NewFolders newFolders(pathMemoryBytes);
    // Every target written, case folded, by hash: a target that only seems written (another's
    // hash) is asked of the file system, as any target outside a new folder is.
    std::unordered_set<uint64_t> written;
    // Files are closed behind the extraction. What a run in turn would have done is kept: an entry
    // counts as extracted once its file is closed whole, progress is owed until then, and a failed
    // close ends the extraction as any failure does.
    FileCloser closer(closerThreads, beforeClose);
    // This thread creates the files and another fills them, meanwhile; it goes before the closer
    // it hands them to. Without closers everything is done in turn, one entry after another.
    FileFiller filler(payload, heldPayload, &closer, closerThreads > 0);
    // Entries come back to the folders they left: those stay held rather than being opened and
    // looked at again (each look at a folder is several round trips to Wine's server and its mount
    // manager).
    HeldWay way(installPath, kKeptFolders);
    const size_t rootLength = way.root().size();
    std::deque<std::pair<uint32_t, int32_t>> owedProgress;  // entry, percent
    const auto postClosed = [&] {
        // The filler first: a file it hands over meanwhile is with the closer when that is asked.
        const uint32_t unfilled = filler.FirstUnfilled();
        const uint32_t closedBelow = std::min(unfilled, closer.FirstNotClosed());
        for (; !owedProgress.empty() && owedProgress.front().first < closedBelow; owedProgress.pop_front())
            PostProgress(mainWindow, owedProgress.front().second);
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
        if (!EntryTargetPath(installPath, entry.name, &target)) {
            success = false;
            break;
        }
        const std::wstring folder = FolderOf(target);
        std::wstring folderKey = FoldCase(folder);
        bool folderIsNew = newFolders.Contains(folderKey);
        // Checked when the payload was, but a link may have come since: the way is held while the
        // entry's file is created, so that what was checked is where it goes; its data goes
        // through the handle.
        bool made = false;
        const HeldWay::State state =
            way.Hold(folder.size() > rootLength ? folder.substr(rootLength + 1) : std::wstring(), true, &made);
        if (made) {
            createdFolders_.push_back(static_cast<uint32_t>(i));
            newFolders.Add(std::move(folderKey));
            folderIsNew = true;
        }
        // A file with nowhere to go fails as its creation would.
        if (state == HeldWay::kRefused || (state == HeldWay::kAbsent && !(entry.attr & FILE_ATTRIBUTE_DIRECTORY))) {
            success = false;
            break;
        }
        // Nothing can be in a folder this run created but what this run wrote there; asking
        // anyway would cost a directory scan per file where names are matched without regard
        // to case, for an answer known in advance. A short alias may name a file written under
        // its long name, maybe still being closed.
        const uint64_t targetKey = PathKey(target);
        const bool knownAbsent = folderIsNew && written.count(targetKey) == 0 && !MayBeShortAlias(target);
        if (!knownAbsent && ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
            // A file is replaced only once all before it are closed whole: it may be one of them,
            // and a failure among them would have kept it.
            if (!finishAll()) break;
            ::DeleteFileW(target.c_str());
        }
        written.insert(targetKey);

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
            createdFiles_.push_back(static_cast<uint32_t>(i));
        if (result != kArchiveOk) {
            success = false;
            break;
        }
        if (file) closer.Close(static_cast<uint32_t>(i), std::move(file));
        success = true;
        if (i % 10 == 0) {
            *progress += 5;
            owedProgress.emplace_back(static_cast<uint32_t>(i), *progress);
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
        (void)PathOf(archive, installPath, closeFailed, false, &path);
        LogCallFailed("CloseHandle", path, error);
        success = false;
    }
    return success;
}

void UnZipTask::RemoveAfterFailure(ArchiveHandle* archive) const {
    if (IsProductFolder(installPath)) {
        if (!DeleteTree(installPath)) DebugTrace(L"failed to delete file");
        return;
    }
    // A folder of the user's own: only what this run created goes, deepest first.
    Removal removal(installPath);
    const auto below = [this](const std::wstring& path) { return path.substr(installPath.size() + 1); };
    bool ok = VisitLastFirst(archive, installPath, createdFiles_, false, pathMemoryBytes,
                             [&](const std::wstring& file) { return removal.RemoveFile(below(file)); });
    ok &= VisitLastFirst(archive, installPath, createdFolders_, true, pathMemoryBytes,
                         [&](const std::wstring& folder) { return removal.RemoveFolder(below(folder)); });
    if (!ok) DebugTrace(L"failed to delete file");
}

bool UnZipTask::WriteList(ArchiveHandle* archive) const {
    InstallListWriter list(installPath);
    for (const bool folders : {true, false}) {
        for (const uint32_t index : folders ? createdFolders_ : createdFiles_) {
            std::wstring path;
            if (!PathOf(archive, installPath, index, folders, &path)) {
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

void UnZipTask::Run() {
    // Before the cleanup: a drive too small must leave the earlier installation usable, so
    // nothing is removed and nothing written. And a damaged payload, or one that is not the
    // release's own, must not cost a working installation: whatever can be known of it is checked
    // before the cleanup, the same failure as today, nothing touched. One walk of its directory
    // serves both. Held from here to the end, so the file checked and hashed is the file extracted;
    // the extraction keeps its own checks all the same.
    const std::wstring payload = ModuleDirectory() + kPayloadFile;
    const UniqueFile held = HoldForReading(payload);
    PayloadCheck check(payload, installPath, held.get());
    if (!PayloadFitsOnDrive(installPath, &check)) {
        PostDiskSpaceError(mainWindow);
        next = nullptr;
        return;
    }
    PinHashing pin(held.get(), payloadPin);
    if (payloadPin.empty())
        LogFormatW(g_log, L"release files not pinned: %s, %s and %s are used as they are", kPinnedPayload,
                   kPinnedSkin, kPinnedSettings);
    std::wstring problem;
    bool whole = check.DataWhole(&problem);
    if (!pin.Matches(&problem)) whole = false;
    if (!whole) {
        LogFormatW(g_log, L"%s", problem.c_str());
        // An empty product folder (the folder check just made it) goes, as after a failed extraction;
        // one with anything in it stays whole, and a link stays (under Wine, removing one acts on
        // what it leads to).
        const DWORD attributes = ::GetFileAttributesW(installPath.c_str());
        if (IsProductFolder(installPath) && attributes != INVALID_FILE_ATTRIBUTES &&
            !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            ::RemoveDirectoryW(installPath.c_str());
        PostDiskSpaceError(mainWindow);
        next = nullptr;
        return;
    }
    CleanPreviousInstall(*this);
    DebugTrace(L"UnZipTask enter excute");
    createdFolders_.clear();
    createdFiles_.clear();

    // Open to the end: what this run made is read back from it.
    UniqueArchive archive(OpenArchive(payload.c_str(), held.get()));
    int32_t progress = progressBase;
    const bool success = ExtractAll(archive.get(), payload, held.get(), &progress);

    if (success) {
        // Last, so only a whole extraction has a list; one that cannot be written is logged and
        // the installation goes on.
        (void)WriteList(archive.get());
        DebugTrace(L"UnZipTask exit excute");
        ChainNext(successor_, progress);
        return;
    }
    // The product's folder goes whole, and may hold the payload.
    if (IsProductFolder(installPath)) archive.reset();
    RemoveAfterFailure(archive.get());
    PostDiskSpaceError(mainWindow);
    next = nullptr;
}
