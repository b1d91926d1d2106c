#include "archive/PayloadCheck.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cwchar>
#include <unordered_set>
#include <vector>

#include "archive/FolderRemoval.h"
#include "archive/InflatePath.h"
#include "archive/ZipReader.h"
#include "base/Owners.h"

namespace {

// The entries' data is verified in batches of this many entries, on every core, each thread with a
// reader of its own. In a batch the large entries go first, largest first, then the others in
// archive order: a payload's few large entries keep every core busy, and the small ones even out
// the end. (Out of order, a reader walks its directory back.)
constexpr int32_t kBatchEntries = 1024;
constexpr uint32_t kLargeEntryBytes = 1u << 20;
constexpr unsigned kMostVerifiers = 8;
constexpr SIZE_T kVerifierStack = 64 * 1024;

// One batch: the entries of `order` are shared out one at a time; the failing entry found first in
// archive order, and its code, are kept. An entry after a known failure needs no look.
struct Batch {
    std::array<int32_t, kBatchEntries> order;
    size_t count = 0;
    std::atomic<size_t> next{0};
    std::atomic<int32_t> failed{0};  // end when none
    std::atomic<int32_t> code{kArchiveOk};
    CRITICAL_SECTION lock;

    Batch() { ::InitializeCriticalSection(&lock); }
    ~Batch() { ::DeleteCriticalSection(&lock); }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
};

struct Verifier {
    UniqueArchive archive;
    Batch* batch = nullptr;
};

void VerifyShare(Verifier& verifier) {
    Batch& batch = *verifier.batch;
    for (;;) {
        const size_t k = batch.next++;
        if (k >= batch.count) return;
        const int32_t i = batch.order[k];
        if (i > batch.failed) continue;
        const int32_t result = VerifyEntry(verifier.archive.get(), i);
        if (result == kArchiveOk) continue;
        const Locked held(&batch.lock);
        if (i < batch.failed) {
            batch.failed = i;
            batch.code = result;
        }
    }
}

DWORD WINAPI VerifyOnThread(void* verifier) {
    VerifyShare(*static_cast<Verifier*>(verifier));
    return 0;
}

// Verifies entries [first, end) (at most kBatchEntries), of the uncompressed sizes given, on every
// verifier (the first on this thread); the first entry in archive order whose data fails, with its
// code in *code, or end.
int32_t VerifyBatch(std::vector<Verifier>& verifiers, int32_t first, int32_t end, const std::vector<uint32_t>& sizes,
                    int32_t* code) {
    Batch batch;
    for (int32_t i = first; i < end; ++i) batch.order[batch.count++] = i;
    const auto large = [&](int32_t i) { return sizes[i] >= kLargeEntryBytes; };
    const auto all = batch.order.begin() + static_cast<std::ptrdiff_t>(batch.count);
    const auto small = std::stable_partition(batch.order.begin(), all, large);
    std::stable_sort(batch.order.begin(), small, [&](int32_t a, int32_t b) { return sizes[a] > sizes[b]; });
    batch.failed = end;
    std::vector<UniqueHandle> threads;
    for (size_t k = 0; k < verifiers.size(); ++k) {
        verifiers[k].batch = &batch;
        if (k == 0) continue;
        UniqueHandle thread(::CreateThread(nullptr, kVerifierStack, VerifyOnThread, &verifiers[k],
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        // A thread that cannot start leaves its share to the others.
        if (thread) threads.push_back(std::move(thread));
    }
    VerifyShare(verifiers[0]);
    for (const UniqueHandle& thread : threads) ::WaitForSingleObject(thread.get(), INFINITE);
    *code = batch.code;
    return batch.failed;
}

// As many verifiers as processors, each with a reader of its own; at least one. A reader that
// cannot be opened leaves fewer.
std::vector<Verifier> Verifiers(const std::wstring& payloadPath, HANDLE heldPayload) {
    unsigned threads = ForcedCheckThreads();
    if (threads == 0) {
        SYSTEM_INFO info = {};
        ::GetSystemInfo(&info);
        // Each reader may hold a whole entry's buffer: a 32-bit process keeps their sum bounded.
        threads = std::min<DWORD>(kMostVerifiers, std::max<DWORD>(1, info.dwNumberOfProcessors));
    }
    std::vector<Verifier> verifiers;
    for (unsigned k = 0; k < threads; ++k) {
        Verifier verifier;
        verifier.archive.reset(OpenArchive(payloadPath.c_str(), heldPayload));
        if (!verifier.archive) break;
        verifiers.push_back(std::move(verifier));
    }
    return verifiers;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attr = ::GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A junction or symbolic link (under Wine, a unix link) there now: the extraction would write
// wherever it leads. Whatever the cleanup removes, a link it cannot remove stays.
bool IsLink(const std::wstring& path) {
    const DWORD attr = ::GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::wstring Describe(int32_t index, const wchar_t* name, const wchar_t* what, int32_t code) {
    wchar_t text[64];
    std::swprintf(text, 64, L"payload entry %d (", static_cast<int>(index));
    std::wstring line = std::wstring(text) + name + L"): " + what;
    if (code != kArchiveOk) {
        std::swprintf(text, 64, L", code 0x%X", static_cast<unsigned>(code));
        line += text;
    }
    return line;
}


// Entry i's description, name and folder, as the extraction will meet them. False with *problem
// set at the first refusal.
bool EntryNamesHold(const ArchiveEntry& entry, int32_t result, int32_t i, const std::wstring& root, bool cleared,
               std::unordered_set<uint64_t>* foldersSeen, std::unordered_set<uint64_t>* waySeen,
               std::unordered_set<uint64_t>* filesSeen, std::wstring* problem) {
    std::unordered_set<uint64_t>& folders = *foldersSeen;
    std::unordered_set<uint64_t>& way = *waySeen;
    std::unordered_set<uint64_t>& files = *filesSeen;
    if (result != kArchiveOk) {
        *problem = Describe(i, L"", L"cannot be described", result);
        return false;
    }
    // The target exactly as the extraction builds it, with the same refusals.
    std::wstring target;
    if (!EntryTargetPath(root, entry.name, &target)) {
        *problem = Describe(i, entry.name, L"an unsafe name", kArchiveOk);
        return false;
    }
    const std::wstring folder = target.substr(0, target.rfind(L'\\'));
    // The first folder on the way already looked at ends the walk: its own way was, before.
    for (std::wstring at = folder;; at.resize(at.rfind(L'\\'))) {
        const uint64_t key = PathKey(at);
        if (!way.insert(key).second) break;
        if (files.count(key) != 0) {
            *problem = Describe(i, entry.name, L"a file of an earlier entry is on its way", kArchiveOk);
            return false;
        }
        if (IsLink(at)) {
            *problem = Describe(i, entry.name, L"its way crosses a junction or symbolic link", kArchiveOk);
            return false;
        }
    }
    if (!(entry.attr & FILE_ATTRIBUTE_DIRECTORY) && target.back() != L'\\') {
        const uint64_t key = PathKey(target);
        if (way.count(key) != 0) {
            *problem = Describe(i, entry.name, L"an earlier entry's way has a folder of its name", kArchiveOk);
            return false;
        }
        files.insert(key);
    }
    if (folders.count(PathKey(folder)) == 0) {
        const size_t slash = folder.rfind(L'\\');
        const std::wstring parent = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
        // One level per entry: the entry's folder is made when its parent is there.
        const bool made = folders.count(PathKey(parent)) != 0 || (!cleared && IsFolder(parent));
        if (!made && (cleared || !IsFolder(folder))) {
            *problem = Describe(i, entry.name, L"its folder would not exist yet", kArchiveOk);
            return false;
        }
        folders.insert(PathKey(folder));
    }
    return true;
}

}  // namespace

PayloadCheck::PayloadCheck(const std::wstring& payloadPath, const std::wstring& installPath, HANDLE heldPayload)
    : payloadPath_(payloadPath), heldPayload_(heldPayload), root_(installPath) {
    while (!root_.empty() && (root_.back() == L'\\' || root_.back() == L'/')) root_.pop_back();
    archive_.reset(OpenArchive(payloadPath.c_str(), heldPayload));
    if (!archive_) {
        refusal_ = Describe(-1, L"", L"the archive cannot be opened", lastArchiveError);
        return;
    }
    ArchiveEntry entry = {};
    const int32_t result = GetArchiveEntry(archive_.get(), -1, &entry);
    if (result != kArchiveOk || entry.index <= 0) {
        refusal_ = Describe(-1, L"", L"no entries", result);
        archive_.reset();
        return;
    }
    count_ = entry.index;
}

PayloadCheck::~PayloadCheck() = default;

void PayloadCheck::Walk(uint64_t clusterBytes) {
    if (!archive_) return;
    // The cleanup removes a product folder whole first; a folder of the user's keeps its folders.
    const bool cleared = IsProductFolder(root_);
    if (IsLink(root_)) {
        refusal_ = Describe(-1, L"", L"the install folder is a junction or symbolic link", kArchiveOk);
        archive_.reset();
        return;
    }
    // A cleared folder is made again by its first top-level entry, one level per entry: an entry in
    // a sub-folder cannot come first.
    const size_t slash = root_.rfind(L'\\');
    std::unordered_set<uint64_t> folders = {
        PathKey(cleared && slash != std::wstring::npos ? root_.substr(0, slash) : root_)};
    // Every folder on an entry's way, each looked at once, and every file's target: a name cannot be
    // both, in Windows' eyes, and a way cannot cross a link.
    std::unordered_set<uint64_t> way = {PathKey(root_)};
    std::unordered_set<uint64_t> files;
    refused_ = count_;
    sized_ = true;
    sizes_.reserve(static_cast<size_t>(count_));
    for (int32_t i = 0; i < count_ && sized_; ++i) {
        ArchiveEntry entry = {};
        const int32_t result = GetArchiveEntry(archive_.get(), i, &entry);
        if (result != kArchiveOk) sized_ = false;
        // The sizes go on past a refused name: the drive is asked about the whole payload.
        const uint32_t size = sized_ ? static_cast<uint32_t>(entry.uncompSize) : 0;
        sizes_.push_back(size);
        if (sized_ && !(entry.attr & FILE_ATTRIBUTE_DIRECTORY))
            neededBytes_ += (uint64_t{size} + clusterBytes - 1) / clusterBytes * clusterBytes;
        if (refused_ == count_ && !EntryNamesHold(entry, result, i, root_, cleared, &folders, &way, &files, &refusal_))
            refused_ = i;
    }
    if (!sized_) neededBytes_ = 0;
}

bool PayloadCheck::DataWhole(std::wstring* problem) {
    if (!archive_) {
        *problem = refusal_;
        return false;
    }
    std::vector<Verifier> verifiers = Verifiers(payloadPath_, heldPayload_);
    if (verifiers.empty()) {
        *problem = Describe(-1, L"", L"the archive cannot be opened", lastArchiveError);
        return false;
    }
    // The data of the entries before the first refused one, in batches; the first failure in archive
    // order decides, as one pass would.
    for (int32_t first = 0; first < refused_;) {
        const int32_t end = std::min(refused_, first + kBatchEntries);
        int32_t code = kArchiveOk;
        const int32_t failed = VerifyBatch(verifiers, first, end, sizes_, &code);
        if (failed < end) {
            ArchiveEntry entry = {};
            (void)GetArchiveEntry(archive_.get(), failed, &entry);
            *problem = Describe(failed, entry.name, L"its data cannot be read whole", code);
            return false;
        }
        first = end;
    }
    if (refused_ < count_) {
        *problem = refusal_;
        return false;
    }
    return true;
}

bool PayloadCheck::NamesHold(std::wstring* problem) const {
    if (archive_ && sized_ && refused_ == count_) return true;
    *problem = refusal_;
    return false;
}

bool PayloadIsWhole(const std::wstring& payloadPath, const std::wstring& installPath, std::wstring* problem,
                    HANDLE heldPayload) {
    PayloadCheck check(payloadPath, installPath, heldPayload);
    check.Walk(1);
    return check.DataWhole(problem);
}
