#include "archive/FileCloser.h"

#include <algorithm>
#include <utility>

namespace {

// Files waiting per closer: enough that a closer never idles behind the extraction, few enough
// that the handles held stay a handful.
constexpr size_t kWaitingPerThread = 8;
constexpr size_t kMostWaiting = 64;
constexpr unsigned kThreadLimit = 32;
// Files that wake a sleeping closer: one wake a file would cost more than a quick close.
constexpr size_t kFilesPerWake = 4;
// A closer runs the hook and CloseHandle only.
constexpr SIZE_T kCloserStack = 64 * 1024;
}  // namespace

FileCloser::FileCloser(unsigned threads, BeforeClose beforeClose) noexcept : beforeClose_(std::move(beforeClose)) {
    ::InitializeCriticalSection(&lock_);
    if (threads > 0 && !Start(std::min(threads, kThreadLimit))) Stop();
}

FileCloser::~FileCloser() {
    Stop();
    ::DeleteCriticalSection(&lock_);
}

bool FileCloser::Start(unsigned threads) noexcept {
    try {
        waiting_.resize(std::min(kMostWaiting, kWaitingPerThread * threads));
        open_.reserve(waiting_.size());
        threads_.reserve(threads);
    } catch (...) {
        return false;
    }
    mostThreads_ = threads;
    if (!wake_.Ready() || !closed_.Ready()) return false;
    // As many as cores to begin with: where closing is quick, more would only cost memory.
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    const unsigned starting = std::min(threads, std::max<unsigned>(2, info.dwNumberOfProcessors));
    while (threads_.size() < starting && AddThread()) {}
    return !threads_.empty();
}

bool FileCloser::AddThread() noexcept {
    if (threads_.size() >= mostThreads_) return false;
    UniqueHandle thread(::CreateThread(nullptr, kCloserStack, Work, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) return false;  // fewer closers still close everything
    threads_.push_back(std::move(thread));  // reserved
    return true;
}

// Waits for what was handed over, then lets every closer end. Without closers, files are closed
// as they come.
void FileCloser::Stop() noexcept {
    if (threads_.empty()) return;
    Drain();
    {
        Locked held(&lock_);
        stopping_ = true;
        wake_.Wake(TakeSleepers(sleepers_));
    }
    for (const UniqueHandle& thread : threads_) ::WaitForSingleObject(thread.get(), INFINITE);
    threads_.clear();
}

LONG FileCloser::TakeSleepers(size_t wanted) noexcept {
    const size_t woken = std::min(wanted, sleepers_);
    sleepers_ -= woken;
    return static_cast<LONG>(woken);
}

void FileCloser::AwaitAClose() noexcept {
    // Closers wake for any file when the extraction has to wait for them.
    wake_.Wake(TakeSleepers(count_));
    awaitingClose_ = true;
    closed_.Wait(&lock_);
}

void FileCloser::Close(uint32_t entry, UniqueFile file) noexcept {
    if (threads_.empty()) {
        CloseNow(entry, file.release());
        return;
    }
    {
        Locked held(&lock_);
        // A full queue means closing is slow, a scanner most likely: one more closer each time,
        // since what they wait on is the scanner, not this machine's cores.
        while (open_.size() == waiting_.size()) {
            (void)AddThread();
            AwaitAClose();
        }
        waiting_[(head_ + count_) % waiting_.size()] = {entry, file.release()};
        ++count_;
        open_.push_back(entry);  // reserved: never more than the queue's length
        // A closer already awake takes it; else one wakes for a few files.
        const size_t awake = threads_.size() - sleepers_;
        if (count_ >= (awake + 1) * kFilesPerWake) wake_.Wake(TakeSleepers(1));
    }
}

void FileCloser::Drain() noexcept {
    if (threads_.empty()) return;
    Locked held(&lock_);
    while (!open_.empty()) AwaitAClose();
}

uint32_t FileCloser::FirstNotClosed() const noexcept {
    Locked held(&lock_);
    uint32_t first = firstFailure_;
    for (const uint32_t entry : open_) first = std::min(first, entry);
    return first;
}

uint32_t FileCloser::FirstFailure(DWORD* error) const noexcept {
    Locked held(&lock_);
    if (error != nullptr) *error = failureError_;
    return firstFailure_;
}

void FileCloser::CloseNow(uint32_t entry, HANDLE file) noexcept {
    bool closed = true;
    DWORD error = ERROR_SUCCESS;
    if (beforeClose_ && !beforeClose_(entry)) {
        closed = false;
        error = ::GetLastError();
    }
    // Closed either way: a failed entry's file is still this run's to remove.
    if (!::CloseHandle(file) && closed) {
        closed = false;
        error = ::GetLastError();
    }
    Locked held(&lock_);
    if (!closed && entry < firstFailure_) {
        firstFailure_ = entry;
        failureError_ = error;
    }
    const auto it = std::find(open_.begin(), open_.end(), entry);
    if (it != open_.end()) {
        *it = open_.back();
        open_.pop_back();
    }
    if (std::exchange(awaitingClose_, false)) closed_.Wake();
}

DWORD WINAPI FileCloser::Work(void* self) noexcept {
    auto& closer = *static_cast<FileCloser*>(self);
    for (;;) {
        Waiting next;
        {
            Locked held(&closer.lock_);
            while (closer.count_ == 0) {
                if (closer.stopping_) return 0;
                ++closer.sleepers_;
                closer.wake_.Wait(&closer.lock_);
            }
            next = closer.waiting_[closer.head_];
            closer.head_ = (closer.head_ + 1) % closer.waiting_.size();
            --closer.count_;
        }
        closer.CloseNow(next.entry, next.file);
    }
}
