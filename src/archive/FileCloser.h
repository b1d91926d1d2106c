#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "base/Owners.h"
#include "base/Signal.h"

// Closes extracted files on a few threads of its own. Where a scanner reads each new file as its
// handle is closed, CloseHandle blocks for milliseconds a file; the extraction goes on meanwhile.
// At most a fixed number of files wait at once, so memory and handles stay bounded.
class FileCloser {
public:
    static constexpr uint32_t kNone = UINT32_MAX;
    // Runs just before a file is closed, on the thread that closes it (any of them, at once);
    // false fails that entry as a failed close would, with the thread's last error. A model of a
    // scanner or of a failing file system for benchmarks and tests; the installer sets none.
    using BeforeClose = std::function<bool(uint32_t entry)>;

    // At most this many closers by default. They wait on the scanner, not on this machine's cores:
    // with a 10 ms scan a file, twelve keep up with the extraction of a payload like ours.
    static constexpr unsigned kMostThreads = 12;

    // Up to `threads` closers, as many as cores at first (at least two), more while the queue is
    // full. threads 0, or threads that cannot be started: each file is closed at once, by the caller.
    FileCloser(unsigned threads, BeforeClose beforeClose) noexcept;
    ~FileCloser();  // waits for every file handed over
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

    // Takes `file`, written whole, of archive entry `entry`; waits while the queue is full. One
    // thread hands files over; any may ask the state below.
    void Close(uint32_t entry, UniqueFile file) noexcept;
    // Returns once every file handed over is closed; not while files are being handed over.
    void Drain() noexcept;
    // The lowest entry handed over that is not closed whole (still open, or its close failed):
    // every entry below it has been. kNone when there is none.
    uint32_t FirstNotClosed() const noexcept;
    // The lowest entry whose close failed, and its error; kNone when none did.
    uint32_t FirstFailure(DWORD* error = nullptr) const noexcept;

private:
    struct Waiting {
        uint32_t entry;
        HANDLE file;
    };
    static DWORD WINAPI Work(void* self) noexcept;
    void CloseNow(uint32_t entry, HANDLE file) noexcept;
    bool Start(unsigned threads) noexcept;
    bool AddThread() noexcept;  // the thread that hands files over only
    void Stop() noexcept;
    // With lock_ held: waits, lock_ released meanwhile, until a closer has closed another file.
    void AwaitAClose() noexcept;
    // With lock_ held: how many sleeping closers to wake for the files waiting.
    LONG TakeSleepers(size_t wanted) noexcept;

    const BeforeClose beforeClose_;
    mutable CRITICAL_SECTION lock_;
    // Guarded by lock_: the files not yet taken by a closer (a ring), every entry not yet closed,
    // and who waits for whom. On XP every wait and wake is a call into the system, so closers are
    // woken only for a few files at once and the extraction waits only for a full queue or a drain.
    std::vector<Waiting> waiting_;
    size_t head_ = 0;
    size_t count_ = 0;
    std::vector<uint32_t> open_;
    uint32_t firstFailure_ = kNone;
    DWORD failureError_ = ERROR_SUCCESS;
    size_t sleepers_ = 0;
    bool awaitingClose_ = false;
    bool stopping_ = false;

    Signal wake_;    // one wake per sleeping closer woken
    Signal closed_;  // a file was closed while the extraction waited for one
    std::vector<UniqueHandle> threads_;  // changed by the thread that hands files over only
    unsigned mostThreads_ = 0;
};
