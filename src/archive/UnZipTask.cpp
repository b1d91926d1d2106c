#include "archive/UnZipTask.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "archive/DiskSpace.h"
#include "archive/Extraction.h"
#include "archive/FilesAside.h"
#include "archive/FolderRemoval.h"
#include "archive/FolderSwap.h"
#include "archive/PayloadTargets.h"
#include "archive/PayloadCheck.h"
#include "archive/PreviousInstall.h"
#include "archive/Removal.h"
#include "archive/ZipReader.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Product.h"
#include "base/Text.h"
#include "tasks/InstallMessages.h"

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

    // The same, the reason logged. Said whatever else failed: a payload that is not the release's
    // own explains the rest.
    bool MatchesOrSays() {
        std::wstring problem;
        if (Matches(&problem)) return true;
        LogFormatW(g_log, L"%s", problem.c_str());
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

namespace {

// An empty product folder (the folder check just made it) goes, as after a failed extraction; one
// with anything in it stays whole, and a link stays (under Wine, removing one acts on what it
// leads to).
void RemoveIfEmptyProductFolder(const std::wstring& installPath) {
    const DWORD attributes = ::GetFileAttributesW(installPath.c_str());
    if (IsProductFolder(installPath) && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        ::RemoveDirectoryW(installPath.c_str());
}

}  // namespace

ExtractionOptions UnZipTask::Options() const { return {pathMemoryBytes, closerThreads, beforeClose}; }

void UnZipTask::Fail() {
    PostDiskSpaceError(mainWindow);
    next = nullptr;
}

void UnZipTask::FailBeforeAnything(const std::wstring& problem) {
    LogFormatW(g_log, L"%s", problem.c_str());
    RemoveIfEmptyProductFolder(installPath);
    Fail();
}

namespace {

bool FitsBeside(const std::wstring& payload, const std::wstring& installPath) {
    const std::wstring beside = NewFolderOf(installPath);
    size_t longest = 0;
    std::vector<std::wstring> folders;
    (void)VisitPayloadTargets(payload, beside, [&](const std::wstring& relative) {
        longest = std::max(longest, relative.size());
    }, &folders);
    for (const std::wstring& folder : folders) longest = std::max(longest, folder.size());
    return beside.size() + 1 + longest < MAX_PATH;
}

// The runtime package as the held payload has it: what runs later must be that, whatever the
// install folder holds by then. Empty when the payload has none or it cannot be read.
std::string RuntimePackageDigest(ArchiveHandle* archive, const std::wstring& installPath) {
    const std::wstring wanted = FoldCase(kRuntimePackageFile + 1);
    // The last entry of the name is what the extraction left.
    int32_t index = -1;
    (void)VisitPayloadTargetsIn(archive, installPath, [&](const std::wstring& relative, int32_t i) {
        if (relative.size() == wanted.size() && FoldCase(relative) == wanted) index = i;
    }, nullptr);
    Sha256Digest digest = {};
    return index >= 0 && VerifyEntry(archive, index, &digest) == kArchiveOk ? ToHex(digest) : std::string();
}

}  // namespace

void UnZipTask::Run() {
    // Before anything is written: a drive too small, a payload whose names are refused or that is
    // not the release's own must leave the earlier installation usable. One walk of its directory
    // serves both the space and the names. Held from here to the end, so the file checked and
    // hashed is the file extracted; the extraction keeps its own checks all the same.
    const std::wstring payload = ModuleDirectory() + kPayloadFile;
    const UniqueFile held = HoldForReading(payload);
    PayloadCheck check(payload, installPath, held.get());
    const PayloadRoom room = RoomForPayload(installPath, &check);
    if (room == PayloadRoom::kNone) {
        Fail();
        return;
    }
    PinHashing pin(held.get(), payloadPin);
    if (payloadPin.empty())
        LogFormatW(g_log, L"release files not pinned: %s, %s and %s are used as they are", kPinnedPayload,
                   kPinnedSkin, kPinnedSettings);
    std::wstring problem;
    if (!check.NamesHold(&problem)) {
        FailBeforeAnything(problem);
        return;
    }
    // Where there is room for both, the earlier installation stays until the new one is whole: the
    // product's folder is replaced whole by a new one made beside it, and in a folder of the user's
    // its files are moved aside meanwhile. A damaged entry then fails that extraction and nothing
    // else, so the data need not be read first.
    if (room == PayloadRoom::kBeside && !IsProductFolder(installPath)) {
        ReplaceAmongTheUsersFiles(payload, held.get(), &pin);
        return;
    }
    // Beside, every path is longer by the new folder's suffix: a payload whose longest path would
    // reach Windows' limit there is extracted in place, as it fits.
    if (room == PayloadRoom::kBeside && !FitsBeside(payload, installPath)) {
        LogFormatW(g_log, L"the new version cannot be made beside %s: its longest path would be too long there",
                   installPath.c_str());
    } else if (room == PayloadRoom::kBeside) {
        FolderSwap swap(installPath, swapHook);
        if (swap.Begin()) {
            ReplaceBeside(&swap, payload, held.get(), &pin);
            return;
        }
        LogFormatW(g_log, L"the new version cannot be made beside %s: the earlier installation is removed first",
                   installPath.c_str());
    }
    // The earlier installation goes before the extraction: whatever can be known of the payload is
    // checked first.
    if (!check.DataWhole(&problem) || !pin.Matches(&problem)) {
        FailBeforeAnything(problem);
        return;
    }
    CleanPreviousInstall(*this);
    DebugTrace(L"UnZipTask enter excute");
    // Open to the end: what this run made is read back from it.
    UniqueArchive archive(OpenArchive(payload.c_str(), held.get()));
    int32_t progress = progressBase;
    Extraction extraction(installPath, mainWindow, Options());
    if (extraction.Run(archive.get(), payload, held.get(), &progress)) {
        // Last, so only a whole extraction has a list; one that cannot be written is logged and
        // the installation goes on.
        (void)extraction.WriteList(archive.get());
        runtimePackageSha256 = RuntimePackageDigest(archive.get(), installPath);
        DebugTrace(L"UnZipTask exit excute");
        ChainNext(successor_, progress);
        return;
    }
    // The product's folder goes whole, and may hold the payload.
    archive.reset();
    if (!DeleteTree(installPath)) DebugTrace(L"failed to delete file");
    Fail();
}

void UnZipTask::ReplaceAmongTheUsersFiles(const std::wstring& payload, HANDLE held, PinHashing* pin) {
    EndProductServicesAndProcesses();
    FilesAside aside(installPath, payload);
    if (!aside.Begin(heldWaitMs)) {
        Fail();
        return;
    }
    DebugTrace(L"UnZipTask enter excute");
    // Open to the end: what this run made is read back from it.
    UniqueArchive archive(OpenArchive(payload.c_str(), held));
    int32_t progress = progressBase;
    Extraction extraction(installPath, mainWindow, Options());
    const bool extracted = extraction.Run(archive.get(), payload, held, &progress);
    if (pin->MatchesOrSays() && extracted) {
        (void)extraction.WriteList(archive.get());
        runtimePackageSha256 = RuntimePackageDigest(archive.get(), installPath);
        aside.Commit();
        DebugTrace(L"UnZipTask exit excute");
        ChainNext(successor_, progress);
        return;
    }
    // Only what this run created goes, deepest first; then the earlier files come back.
    if (!extraction.RemoveMade(archive.get())) DebugTrace(L"failed to delete file");
    aside.Restore();
    Fail();
}

void UnZipTask::ReplaceBeside(FolderSwap* swap, const std::wstring& payload, HANDLE held, PinHashing* pin) {
    DebugTrace(L"UnZipTask enter excute");
    int32_t progress = progressBase;
    bool whole = false;
    {
        // Every file written and closed, and the list, before anything of the earlier
        // installation is touched.
        UniqueArchive archive(OpenArchive(payload.c_str(), held));
        Extraction extraction(swap->NewFolder(), mainWindow, Options());
        whole = extraction.Run(archive.get(), payload, held, &progress);
        if (whole) {
            (void)extraction.WriteList(archive.get());
            runtimePackageSha256 = RuntimePackageDigest(archive.get(), installPath);
        }
    }
    if (!pin->MatchesOrSays() || !whole) {
        swap->Abandon();
        RemoveIfEmptyProductFolder(installPath);
        Fail();
        return;
    }
    swap->Whole();
    EndProductServicesAndProcesses();
    if (!swap->Commit(heldWaitMs, &afterwards)) {
        Fail();
        return;
    }
    DebugTrace(L"UnZipTask exit excute");
    ChainNext(successor_, progress);
}
