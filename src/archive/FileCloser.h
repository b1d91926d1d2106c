#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "base/Owners.h"

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

    // threads 0, or threads that cannot be started: each file is closed at once, by the caller.
    FileCloser(unsigned threads, BeforeClose beforeClose) noexcept;
    ~FileCloser();  // waits for every file handed over
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

    // Takes `file`, written whole, of archive entry `entry`; waits while the queue is full.
    void Close(uint32_t entry, UniqueFile file) noexcept;
    // Returns once every file handed over is closed.
    void Drain() noexcept;
    // The lowest entry handed over that is not closed whole (still open, or its close failed):
    // every entry below it has been. kNone when there is none.
    uint32_t FirstNotClosed() const noexcept;
    // The lowest entry whose close failed, and its error; kNone when none did.
    uint32_t FirstFailure(DWORD* error = nullptr) const noexcept;

    // About as many closers as cores: closing mostly waits, so at least a few.
    static unsigned DefaultThreads() noexcept;

private:
    struct Waiting {
        uint32_t entry;
        HANDLE file;
    };
    static DWORD WINAPI Work(void* self) noexcept;
    void CloseNow(uint32_t entry, HANDLE file) noexcept;
    bool Start(unsigned threads) noexcept;
    void Stop() noexcept;

    const BeforeClose beforeClose_;
    mutable CRITICAL_SECTION lock_;
    // Guarded by lock_: the files not yet taken by a closer (a ring), and every entry not yet closed.
    std::vector<Waiting> waiting_;
    size_t head_ = 0;
    size_t count_ = 0;
    std::vector<uint32_t> open_;
    uint32_t firstFailure_ = kNone;
    DWORD failureError_ = ERROR_SUCCESS;

    UniqueHandle slots_;  // semaphore: room in the queue
    UniqueHandle ready_;  // semaphore: files to close, then one stop token per thread
    UniqueHandle idle_;   // event: set while nothing is open
    std::vector<UniqueHandle> threads_;
};
