#include "archive/ReadAhead.h"

#include <utility>

namespace {

// What waits in the queue, at most (one piece may pass it, when it waits alone), and the size of
// the pieces a streamed entry is cut into.
constexpr size_t kQueueBytes = 2u << 20;
constexpr size_t kPieceBytes = 512u << 10;
constexpr SIZE_T kReaderStack = 64 * 1024;

}  // namespace

ReadAhead::ReadAhead(const std::wstring& path, int32_t count, HANDLE heldFile) noexcept : count_(count) {
    ::InitializeCriticalSection(&lock_);
    archive_.reset(OpenArchive(path.c_str(), heldFile));
    spaceFreed_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    pieceAdded_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!archive_ || !spaceFreed_ || !pieceAdded_) return;
    thread_.reset(::CreateThread(nullptr, kReaderStack, Work, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}

ReadAhead::~ReadAhead() {
    if (thread_) {
        {
            Locked held(&lock_);
            stopping_ = true;
        }
        ::SetEvent(spaceFreed_.get());
        ::WaitForSingleObject(thread_.get(), INFINITE);
    }
    ::DeleteCriticalSection(&lock_);
}

DWORD WINAPI ReadAhead::Work(void* self) noexcept {
    static_cast<ReadAhead*>(self)->ReadAll();
    return 0;
}

void ReadAhead::ReadAll() noexcept {
    for (int32_t i = 0; i < count_; ++i) {
        Piece piece;
        piece.index = i;
        bool stopped = false;
        const auto write = [&](const uint8_t* data, uint32_t size) {
            try {
                piece.bytes.insert(piece.bytes.end(), data, data + size);
            } catch (...) {
                return false;
            }
            if (piece.bytes.size() < kPieceBytes) return true;
            Piece full;
            full.index = i;
            full.bytes = std::move(piece.bytes);
            piece.bytes.clear();
            stopped = !Push(std::move(full));
            return !stopped;
        };
        piece.code = ReadEntryData(archive_.get(), i, write);
        if (stopped) break;
        piece.last = true;
        if (!Push(std::move(piece))) break;
    }
    {
        Locked held(&lock_);
        done_ = true;
    }
    ::SetEvent(pieceAdded_.get());
}

bool ReadAhead::Push(Piece piece) noexcept {
    const size_t size = piece.bytes.size();
    for (;;) {
        {
            Locked held(&lock_);
            if (stopping_) return false;
            if (queue_.empty() || queuedBytes_ + size <= kQueueBytes) {
                try {
                    queue_.push_back(std::move(piece));
                } catch (...) {
                    return false;
                }
                queuedBytes_ += size;
                break;
            }
        }
        ::WaitForSingleObject(spaceFreed_.get(), INFINITE);
    }
    ::SetEvent(pieceAdded_.get());
    return true;
}

bool ReadAhead::Pop(Piece* piece) noexcept {
    for (;;) {
        {
            Locked held(&lock_);
            if (!queue_.empty()) {
                *piece = std::move(queue_.front());
                queue_.pop_front();
                queuedBytes_ -= piece->bytes.size();
                break;
            }
            if (done_) return false;
        }
        ::WaitForSingleObject(pieceAdded_.get(), INFINITE);
    }
    ::SetEvent(spaceFreed_.get());
    return true;
}

int32_t ReadAhead::Deliver(int32_t index, const EntryWriter& write) noexcept {
    Piece piece;
    bool writing = true;
    while (Pop(&piece)) {
        if (piece.index < index) continue;
        // Past a refused write the entry's pieces are only let go: the entry failed.
        if (writing && !piece.bytes.empty()) writing = write(piece.bytes.data(), static_cast<uint32_t>(piece.bytes.size()));
        if (piece.last) return writing ? piece.code : kArchiveErrExtract;
    }
    return kArchiveErrExtract;  // the reader stopped short: no memory for a piece
}
