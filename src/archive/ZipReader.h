#pragma once
// Reader for single-volume zip archives (stored and deflated entries, no encryption).
// Every operation returns a result code and leaves it in lastArchiveError.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/Owners.h"
#include "base/Sha256.h"

// Result code of this thread's last archive operation. Per thread: the window reads its skin
// while the runner extracts, and neither may see the other's codes.
extern thread_local int32_t lastArchiveError;

constexpr int32_t kArchiveOk = 0;
constexpr int32_t kArchiveErrOpenFile = 0x200;     // the archive or an extraction target cannot be opened
constexpr int32_t kArchiveErrExtract = 0x400;      // read, inflate, CRC or write failure while extracting
constexpr int32_t kArchiveErrCorrupt = 0x700;      // local/central header mismatch, directory not walkable
constexpr int32_t kArchiveErrExtraField = 0x800;   // local extra field cannot be read
constexpr int32_t kArchiveErrArgument = 0x10000;   // null handle, index out of range
constexpr int32_t kArchiveErrNotReader = 0x80000;  // handle kind is not a reader
constexpr int32_t kArchiveErrAlreadyOpen = 0x1000000;
constexpr int32_t kArchiveErrIo = -1;              // I/O error or no end record while opening
constexpr int32_t kArchiveErrBadEndRecord = -103;  // end record inconsistent

constexpr int32_t kArchiveHandleReader = 1;

// Wide form, as handed to callers.
struct ArchiveEntry {
    int32_t index;  // for index -1: the number of entries
    wchar_t name[260];
    uint32_t attr;
    FILETIME atime;
    FILETIME ctime;
    FILETIME mtime;
    int32_t compSize;
    int32_t uncompSize;
};

// Narrow form kept inside the reader: the name as stored.
struct ArchiveEntryA {
    int32_t index;
    char name[260];
    uint32_t attr;
    FILETIME atime;
    FILETIME ctime;
    FILETIME mtime;
    int32_t compSize;
    int32_t uncompSize;
    bool utf8Name;  // general-purpose flag bit 11: the name is UTF-8, not the ANSI code page
};

struct ArchiveState;

struct ArchiveReader {
    ArchiveState* archive;
    int32_t openEntry;
    ArchiveEntryA cachedEntry;
    int32_t cachedIndex;
    wchar_t rootDir[260];
};

struct ArchiveHandle {
    int32_t kind;
    ArchiveReader* reader;
};

// Null on failure; lastArchiveError holds the reason. With sameFileAs, a file held open elsewhere:
// the archive opened by the path must be that very file (else kArchiveErrOpenFile).
[[nodiscard]] ArchiveHandle* OpenArchive(const wchar_t* path, HANDLE sameFileAs = nullptr) noexcept;
// Index -1 asks for the number of entries (returned in entry->index).
[[nodiscard]] int32_t GetArchiveEntry(ArchiveHandle* handle, int32_t index, ArchiveEntry* entry) noexcept;
// target may be absolute or relative; a relative target's folders are created below the
// current directory captured at open time.
[[nodiscard]] int32_t ExtractEntry(ArchiveHandle* handle, int32_t index, const wchar_t* target) noexcept;
// As ExtractEntry, but a file written whole (data and times) is handed over open in *file, for the
// caller to close: closing can wait on a scanner and can still fail. Empty for a folder or a failure.
[[nodiscard]] int32_t ExtractEntryKeepOpen(ArchiveHandle* handle, int32_t index, const wchar_t* target,
                                           UniqueFile* file) noexcept;
// ExtractEntryKeepOpen in two steps, which may run on different threads with readers of their
// own on the same archive: the target created empty (nothing for a folder), then its data and times
// written. The outcome is the same.
// With `folder`, the target's folder held open by the caller: the file is created in it by the
// folder's handle, so nothing on the way to it is looked up again.
[[nodiscard]] int32_t CreateEntryTarget(ArchiveHandle* handle, int32_t index, const wchar_t* target,
                                        UniqueFile* file, HANDLE folder = nullptr) noexcept;
[[nodiscard]] int32_t FillEntryTarget(ArchiveHandle* handle, int32_t index, HANDLE file) noexcept;
// Reads an entry whole into `data` (empty for a folder); an entry larger than maxBytes fails
// with 0x400 before anything is allocated for it.
[[nodiscard]] int32_t ReadEntryToMemory(ArchiveHandle* handle, int32_t index, std::string* data,
                                        uint32_t maxBytes) noexcept;
// Reads an entry's data through inflate and the CRC check as extracting would, writing nothing;
// with `digest`, the SHA-256 of that data (of nothing, for a folder).
[[nodiscard]] int32_t VerifyEntry(ArchiveHandle* handle, int32_t index, Sha256Digest* digest = nullptr) noexcept;
int32_t CloseArchive(ArchiveHandle* handle) noexcept;

using UniqueArchive = ScopedHandle<FreedBy<ArchiveHandle*, CloseArchive>>;
