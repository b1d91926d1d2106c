#pragma once
// Fills the files the extraction creates with their entries' data, on a thread and a reader of its
// own, and hands each to the closer. Creating a file is a round trip to Wine's server, and the
// server's own file-system work there is the larger part of an extraction: while this thread
// inflates and writes, the extraction creates the next files, so the time tends to the longer of
// the two, not their sum. Files are filled in the order handed over.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/FileCloser.h"
#include "archive/ZipReader.h"
#include "base/Owners.h"
#include "base/Signal.h"

class FileFiller {
public:
    // Reads the archive at `path` (which must be heldFile, when given). Started() is false when it
    // could not start, or was not to (start false); the extraction then fills its files itself.
    FileFiller(const std::wstring& path, HANDLE heldFile, FileCloser* closer, bool start = true) noexcept;
    ~FileFiller();  // files handed over and not filled yet are closed unfilled
    FileFiller(const FileFiller&) = delete;
    FileFiller& operator=(const FileFiller&) = delete;

    bool Started() const noexcept { return static_cast<bool>(thread_); }
    // Takes entry `index`'s target, created empty (CreateEntryTarget); entries come in increasing
    // order. Waits while the queue is full. Past a failure, files are closed unfilled.
    void Fill(int32_t index, UniqueFile file) noexcept;
    // Waits until every file handed over is filled and with the closer, or failed; returns the code
    // of the first entry that failed (kArchiveOk when none did).
    int32_t Finish() noexcept;
    bool Failed() const noexcept;
    // The lowest entry handed over that is not with the closer yet, failed ones included;
    // FileCloser::kNone when there is none.
    uint32_t FirstUnfilled() const noexcept;

private:
    struct Handed {
        int32_t index;
        HANDLE file;
    };
    static DWORD WINAPI Work(void* self) noexcept;
    void FillAll() noexcept;

    FileCloser* const closer_;
    UniqueArchive archive_;
    mutable CRITICAL_SECTION lock_;
    // Guarded by lock_: the files handed over and not taken yet (a ring), the one being filled,
    // the first failure, and who waits for whom. The filler wakes for several files at once and
    // the extraction for half a queue: on XP every wake is a call into the system.
    std::vector<Handed> handed_;
    size_t head_ = 0;
    size_t count_ = 0;
    uint32_t filling_ = FileCloser::kNone;
    uint32_t failedEntry_ = FileCloser::kNone;
    int32_t failure_ = kArchiveOk;
    bool fillerWaits_ = false;
    bool finishing_ = false;  // the extraction waits for every file: wake the filler for any
    bool waitingForSpace_ = false;
    bool waitingForAll_ = false;
    bool stopping_ = false;
    Signal fillerWake_;      // files to fill, or the end
    Signal extractionWake_;  // room in the queue, or every file filled
    UniqueHandle thread_;
};
