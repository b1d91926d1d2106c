#include "archive/FileCloser.h"

#include <algorithm>
#include <utility>

namespace {

// Files waiting per closer: enough that a closer never idles behind the extraction, few enough
// that the handles held stay a handful.
constexpr size_t kWaitingPerThread = 4;
constexpr size_t kMostWaiting = 64;
constexpr unsigned kMostThreads = 16;
// A closer runs the hook and CloseHandle only.
constexpr SIZE_T kCloserStack = 64 * 1024;

class Locked {
public:
    explicit Locked(CRITICAL_SECTION* lock) noexcept : lock_(lock) { ::EnterCriticalSection(lock_); }
    ~Locked() { ::LeaveCriticalSection(lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION* lock_;
};

}  // namespace

FileCloser::FileCloser(unsigned threads, BeforeClose beforeClose) noexcept : beforeClose_(std::move(beforeClose)) {
    ::InitializeCriticalSection(&lock_);
    if (threads > 0 && !Start(std::min(threads, kMostThreads))) Stop();
}

FileCloser::~FileCloser() {
    Stop();
    ::DeleteCriticalSection(&lock_);
}

unsigned FileCloser::DefaultThreads() noexcept {
    SYSTEM_INFO info = {};
    ::GetSystemInfo(&info);
    return std::max<unsigned>(2, std::min<unsigned>(info.dwNumberOfProcessors, kMostThreads));
}

bool FileCloser::Start(unsigned threads) noexcept {
    const size_t length = std::min(kMostWaiting, kWaitingPerThread * threads);
    try {
        waiting_.resize(length);
        open_.reserve(length);
        threads_.reserve(threads);
    } catch (...) {
        return false;
    }
    slots_.reset(::CreateSemaphoreW(nullptr, static_cast<LONG>(length), static_cast<LONG>(length), nullptr));
    ready_.reset(::CreateSemaphoreW(nullptr, 0, static_cast<LONG>(length + threads), nullptr));
    idle_.reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!slots_ || !ready_ || !idle_) return false;
    for (unsigned k = 0; k < threads; ++k) {
        UniqueHandle thread(
            ::CreateThread(nullptr, kCloserStack, Work, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!thread) break;  // fewer closers still close everything
        threads_.push_back(std::move(thread));
    }
    return !threads_.empty();
}

// Waits for what was handed over, then lets every closer end. Without closers, files are closed
// as they come.
void FileCloser::Stop() noexcept {
    if (threads_.empty()) return;
    Drain();
    ::ReleaseSemaphore(ready_.get(), static_cast<LONG>(threads_.size()), nullptr);
    for (const UniqueHandle& thread : threads_) ::WaitForSingleObject(thread.get(), INFINITE);
    threads_.clear();
}

void FileCloser::Close(uint32_t entry, UniqueFile file) noexcept {
    if (threads_.empty()) {
        CloseNow(entry, file.release());
        return;
    }
    ::WaitForSingleObject(slots_.get(), INFINITE);
    {
        Locked held(&lock_);
        waiting_[(head_ + count_) % waiting_.size()] = {entry, file.release()};
        ++count_;
        open_.push_back(entry);  // reserved: never more than the queue's length
        ::ResetEvent(idle_.get());
    }
    ::ReleaseSemaphore(ready_.get(), 1, nullptr);
}

void FileCloser::Drain() noexcept {
    if (!threads_.empty()) ::WaitForSingleObject(idle_.get(), INFINITE);
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
    if (open_.empty() && idle_) ::SetEvent(idle_.get());
}

DWORD WINAPI FileCloser::Work(void* self) noexcept {
    auto& closer = *static_cast<FileCloser*>(self);
    for (;;) {
        ::WaitForSingleObject(closer.ready_.get(), INFINITE);
        Waiting next;
        {
            Locked held(&closer.lock_);
            if (closer.count_ == 0) return 0;  // a stop token: nothing is left once they are given
            next = closer.waiting_[closer.head_];
            closer.head_ = (closer.head_ + 1) % closer.waiting_.size();
            --closer.count_;
        }
        closer.CloseNow(next.entry, next.file);
        ::ReleaseSemaphore(closer.slots_.get(), 1, nullptr);
    }
}
