#pragma once
// Internal state of an open archive, shared by the reader's translation units.

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <vector>
#include <new>

#include "base/Owners.h"
#include "archive/ZipReader.h"

constexpr uint32_t kZipBufferSize = 16384;

// A buffer that only grows, kept from one entry to the next.
struct GrowingBuffer {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t capacity = 0;

    bool Reserve(uint32_t size) noexcept {
        if (size <= capacity) return true;
        // The old bytes go first: never both at once.
        bytes.reset();
        bytes.reset(new (std::nothrow) uint8_t[size]);
        capacity = bytes ? size : 0;
        return bytes != nullptr;
    }
    uint8_t* data() const noexcept { return bytes.get(); }
};

struct ArchiveFile {
    bool canSeek = false;
    UniqueFile handle;
    uint64_t position = 0;  // where the handle's file pointer is, so sequential reads skip the seek
};

// Reads exactly size bytes at pos (relative to the file start). Reading past the end is a read error.
bool ReadArchiveAt(ArchiveFile& file, uint64_t pos, void* buffer, uint32_t size) noexcept;
// Reads up to size bytes; returns the number read, or -1 on a failed read.
int64_t ReadArchiveSome(ArchiveFile& file, uint64_t pos, void* buffer, uint32_t size) noexcept;
bool ArchiveFileSize(ArchiveFile& file, uint64_t* size) noexcept;

// Position of the end-of-central-directory record, or false when
// there is none (or it starts at byte 0).
bool FindEndRecord(ArchiveFile& file, uint64_t* position) noexcept;

struct CentralHeader {
    uint16_t flags;
    uint16_t method;
    uint32_t dosDateTime;
    uint32_t crc;
    uint32_t compSize;
    uint32_t uncompSize;
    uint16_t nameLength;
    uint16_t extraLength;
    uint16_t commentLength;
    uint32_t externalAttr;
    uint32_t localHeaderOffset;
};

struct EntryReadState {
    std::unique_ptr<uint8_t[]> input;
    z_stream stream{};
    bool streamReady = false;
    uint32_t crc = 0;
    uint32_t expectedCrc = 0;
    uint32_t compLeft = 0;
    uint32_t uncompLeft = 0;
    uint32_t inputUsed = 0;  // bytes of input already consumed (method 0)
    uint32_t inputFill = 0;  // bytes held in input
    uint64_t nextPos = 0;    // file position of the next compressed byte
    uint16_t method = 0;

    ~EntryReadState() {
        if (streamReady) inflateEnd(&stream);
    }
};

struct ArchiveState {
    ArchiveFile file;
    uint32_t entryCount = 0;
    uint32_t centralDirOffset = 0;
    uint32_t centralDirSize = 0;
    uint64_t bytesBefore = 0;

    int32_t currentIndex = 0;
    uint64_t currentHeaderPos = 0;  // archive offset of the current central-directory header
    // The offsets of headers kCheckpointEntries, 2 * kCheckpointEntries, ... as walks reach them.
    std::vector<uint64_t> checkpoints;
    bool currentOk = false;
    CentralHeader current{};
    char currentName[260] = {};  // cut to 259 bytes

    // File position of the current entry's data once its local header has been checked;
    // lets the extraction skip a second read of the same header.
    bool dataPosKnown = false;
    uint64_t dataPos = 0;

    std::unique_ptr<EntryReadState> read;

    // Entries whose compressed and uncompressed bytes together fit kWholeEntryBytes are read in one
    // piece into one buffer, the data at its start and the compressed bytes after it, and inflated
    // in one call by the decoder streaming uses; buffer and decoder are kept for the next entry.
    GrowingBuffer whole;
    z_stream wholeStream{};
    bool wholeStreamReady = false;

    ArchiveState();
    ~ArchiveState();
    ArchiveState(const ArchiveState&) = delete;
    ArchiveState& operator=(const ArchiveState&) = delete;
};

// Entry reading (ZipEntryStream.cpp).
int32_t OpenEntryStream(ArchiveState& state) noexcept;
// Returns bytes delivered (0 at the end), or -1 on a read, inflate or truncation failure.
int32_t ReadEntryStream(ArchiveState& state, uint8_t* out, uint32_t size) noexcept;
// Returns 0, or kArchiveErrExtract when all bytes were delivered and the CRC-32 differs.
int32_t CloseEntryStream(ArchiveState& state) noexcept;
// Whether the current entry is one to read whole under the inflate path in force.
bool ReadsWhole(const ArchiveState& state) noexcept;
// The current entry's data in one piece, CRC checked, at the start of state.whole (its declared
// size); kArchiveErrExtract when it cannot be had so.
int32_t ReadEntryWhole(ArchiveState& state) noexcept;
