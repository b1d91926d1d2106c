#pragma once
// Reads the payload's entries ahead of the extraction, on a thread and a reader of its own: while
// one entry's data is written, the next is already being inflated, so the extraction takes about
// the longer of the two, not their sum. What it has read waits in a queue of bounded size.

#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "archive/ZipReader.h"
#include "base/Owners.h"

class ReadAhead {
public:
    // Reads entries 0 to count - 1 of the archive at `path` (which must be heldFile, when given),
    // in order. Started() is false when it could not start; the extraction then reads for itself.
    ReadAhead(const std::wstring& path, int32_t count, HANDLE heldFile = nullptr) noexcept;
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    bool Started() const noexcept { return static_cast<bool>(thread_); }
    // Hands entry `index`'s data to `write` and returns the code its reading ended with, as
    // ReadEntryData would. Entries are asked for in increasing order; those passed over are let go.
    int32_t Deliver(int32_t index, const EntryWriter& write) noexcept;

private:
    struct Piece {
        int32_t index = 0;
        bool last = false;  // the end of the entry, with its code
        int32_t code = kArchiveOk;
        std::vector<uint8_t> bytes;
    };
    static DWORD WINAPI Work(void* self) noexcept;
    void ReadAll() noexcept;
    bool Push(Piece piece) noexcept;  // false once stopped
    bool Pop(Piece* piece) noexcept;  // false when the reader has nothing more

    UniqueArchive archive_;
    int32_t count_ = 0;
    CRITICAL_SECTION lock_;
    UniqueHandle spaceFreed_;
    UniqueHandle pieceAdded_;
    std::deque<Piece> queue_;
    size_t queuedBytes_ = 0;
    bool stopping_ = false;
    bool done_ = false;
    UniqueHandle thread_;
};
