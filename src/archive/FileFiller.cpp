#include "archive/FileFiller.h"

#include <algorithm>
#include <utility>

namespace {

// Files created ahead, at most: enough for creating to go on while the filler spends a second on
// a payload's largest entries (hundreds of files' worth), few enough that their handles are nothing
// to Windows. And how many files wake a waiting filler.
constexpr size_t kQueueFiles = 1024;
constexpr size_t kFilesPerWake = 8;
// The filler reads, inflates (whole entries on the heap) and writes.
constexpr SIZE_T kFillerStack = 64 * 1024;

}  // namespace

FileFiller::FileFiller(const std::wstring& path, HANDLE heldFile, FileCloser* closer, bool start) noexcept
    : closer_(closer) {
    ::InitializeCriticalSection(&lock_);
    if (!start) return;
    try {
        handed_.resize(kQueueFiles);
    } catch (...) {
        return;
    }
    archive_.reset(OpenArchive(path.c_str(), heldFile));
    if (!archive_ || !fillerWake_.Ready() || !extractionWake_.Ready()) return;
    thread_.reset(::CreateThread(nullptr, kFillerStack, Work, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}

FileFiller::~FileFiller() {
    if (thread_) {
        {
            Locked held(&lock_);
            stopping_ = true;
            fillerWake_.Wake();
        }
        ::WaitForSingleObject(thread_.get(), INFINITE);
    }
    ::DeleteCriticalSection(&lock_);
}

void FileFiller::Fill(int32_t index, UniqueFile file) noexcept {
    Locked held(&lock_);
    while (count_ == handed_.size()) {
        waitingForSpace_ = true;
        extractionWake_.Wait(&lock_);
    }
    handed_[(head_ + count_) % handed_.size()] = {index, file.release()};
    ++count_;
    if (fillerWaits_ && count_ >= kFilesPerWake) {
        fillerWaits_ = false;
        fillerWake_.Wake();
    }
}

int32_t FileFiller::Finish() noexcept {
    if (!thread_) return kArchiveOk;
    Locked held(&lock_);
    finishing_ = true;
    while (count_ > 0 || filling_ != FileCloser::kNone) {
        if (std::exchange(fillerWaits_, false)) fillerWake_.Wake();
        waitingForAll_ = true;
        extractionWake_.Wait(&lock_);
    }
    finishing_ = false;
    return failure_;
}

bool FileFiller::Failed() const noexcept {
    Locked held(&lock_);
    return failure_ != kArchiveOk;
}

uint32_t FileFiller::FirstUnfilled() const noexcept {
    Locked held(&lock_);
    uint32_t first = std::min(filling_, failedEntry_);
    if (count_ > 0) first = std::min(first, static_cast<uint32_t>(handed_[head_].index));
    return first;
}

DWORD WINAPI FileFiller::Work(void* self) noexcept {
    static_cast<FileFiller*>(self)->FillAll();
    return 0;
}

void FileFiller::FillAll() noexcept {
    // Once the queue is empty, the filler waits for several files at once.
    size_t wanted = 1;
    for (;;) {
        Handed next = {};
        bool failed = false;
        {
            Locked held(&lock_);
            if (count_ == 0) wanted = kFilesPerWake;
            while (!stopping_ && count_ < (finishing_ ? 1 : wanted)) {
                fillerWaits_ = true;
                fillerWake_.Wait(&lock_);
            }
            if (stopping_) {
                for (; count_ > 0; --count_, head_ = (head_ + 1) % handed_.size()) ::CloseHandle(handed_[head_].file);
                return;
            }
            wanted = 1;
            next = handed_[head_];
            head_ = (head_ + 1) % handed_.size();
            --count_;
            filling_ = static_cast<uint32_t>(next.index);
            failed = failure_ != kArchiveOk;
        }
        UniqueFile file(next.file);
        const int32_t result = failed ? kArchiveErrExtract : FillEntryTarget(archive_.get(), next.index, file.get());
        if (result == kArchiveOk) closer_->Close(static_cast<uint32_t>(next.index), std::move(file));
        file.reset();  // a failed entry's file is closed unfilled, as a failed extraction leaves it
        Locked held(&lock_);
        filling_ = FileCloser::kNone;
        if (result != kArchiveOk && failure_ == kArchiveOk) {
            failure_ = result;
            failedEntry_ = static_cast<uint32_t>(next.index);
        }
        if ((waitingForSpace_ && count_ <= handed_.size() / 2) || (waitingForAll_ && count_ == 0)) {
            waitingForSpace_ = waitingForAll_ = false;
            extractionWake_.Wake();
        }
    }
}
