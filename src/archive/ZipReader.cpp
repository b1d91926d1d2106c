// Opening an archive, walking its central directory, describing entries and reading their data
// (how their target files are made is EntryTarget.cpp's).

#include "archive/ZipReader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "archive/EntryTarget.h"
#include "archive/InflatePath.h"
#include "archive/ZipArchiveState.h"
#include "base/ReleasePins.h"

thread_local int32_t lastArchiveError = 0;

namespace {

constexpr uint32_t kCentralHeaderSig = 0x02014B50;
constexpr uint32_t kLocalHeaderSig = 0x04034B50;
constexpr uint32_t kCentralHeaderSize = 46;
constexpr uint32_t kLocalHeaderSize = 30;
constexpr uint32_t kEndRecordSize = 22;
constexpr uint32_t kMaxNarrowName = 259;
constexpr uint16_t kFlagDataDescriptor = 1u << 3;
constexpr uint16_t kFlagUtf8Name = 1u << 11;
constexpr uint16_t kTagExtendedTime = 0x5455;  // "UT"

uint16_t Le16(const uint8_t* p) noexcept { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) noexcept {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

int32_t SetResult(int32_t code) noexcept {
    lastArchiveError = code;
    return code;
}

// Reads the central-directory header at currentHeaderPos; currentOk tells whether it worked.
int32_t ReadCentralHeader(ArchiveState& s) noexcept {
    s.currentOk = false;
    s.dataPosKnown = false;
    uint8_t b[kCentralHeaderSize];
    const uint64_t pos = s.currentHeaderPos + s.bytesBefore;
    if (!ReadArchiveAt(s.file, pos, b, sizeof b)) return kArchiveErrIo;
    if (Le32(b) != kCentralHeaderSig) return kArchiveErrBadEndRecord;
    CentralHeader& h = s.current;
    h.flags = Le16(b + 8);
    h.method = Le16(b + 10);
    h.dosDateTime = Le32(b + 12);
    h.crc = Le32(b + 16);
    h.compSize = Le32(b + 20);
    h.uncompSize = Le32(b + 24);
    h.nameLength = Le16(b + 28);
    h.extraLength = Le16(b + 30);
    h.commentLength = Le16(b + 32);
    h.externalAttr = Le32(b + 38);
    h.localHeaderOffset = Le32(b + 42);
    const uint32_t nameBytes = std::min<uint32_t>(h.nameLength, kMaxNarrowName);
    if (nameBytes != 0 && !ReadArchiveAt(s.file, pos + kCentralHeaderSize, s.currentName, nameBytes))
        return kArchiveErrIo;
    s.currentName[nameBytes] = '\0';
    s.currentOk = true;
    return kArchiveOk;
}

// Steps forward through the central directory. To go back it starts again from the nearest
// header already passed of every kCheckpointEntries-th: the payload check takes its largest entries
// first, out of archive order.
constexpr int32_t kCheckpointEntries = 256;

int32_t GoToEntry(ArchiveState& s, int32_t index) noexcept {
    if (index < s.currentIndex) {
        const size_t k = std::min<size_t>(static_cast<size_t>(index / kCheckpointEntries), s.checkpoints.size());
        s.currentIndex = static_cast<int32_t>(k) * kCheckpointEntries;
        s.currentHeaderPos = k == 0 ? s.centralDirOffset : s.checkpoints[k - 1];
        ReadCentralHeader(s);  // failure shows in currentOk
    }
    while (s.currentIndex < index) {
        if (!s.currentOk) return kArchiveErrCorrupt;
        const CentralHeader& h = s.current;
        s.currentHeaderPos += uint64_t{kCentralHeaderSize} + h.nameLength + h.extraLength + h.commentLength;
        ++s.currentIndex;
        if (s.currentIndex % kCheckpointEntries == 0 &&
            s.checkpoints.size() + 1 == static_cast<size_t>(s.currentIndex / kCheckpointEntries)) {
            try {
                s.checkpoints.push_back(s.currentHeaderPos);
            } catch (...) {
                // Without it a walk back starts further back.
            }
        }
        ReadCentralHeader(s);
    }
    return s.currentOk ? kArchiveOk : kArchiveErrCorrupt;
}

// Checks the current entry's local header against its central one; on success dataPos is known
// and *extraLength holds the local extra field's length.
bool CheckLocalHeader(ArchiveState& s, uint16_t* extraLength) noexcept {
    const CentralHeader& h = s.current;
    uint8_t b[kLocalHeaderSize];
    const uint64_t pos = uint64_t{h.localHeaderOffset} + s.bytesBefore;
    if (!ReadArchiveAt(s.file, pos, b, sizeof b)) return false;
    if (Le32(b) != kLocalHeaderSig) return false;
    const uint16_t flags = Le16(b + 6);
    const uint16_t method = Le16(b + 8);
    if (method != h.method || (method != 0 && method != Z_DEFLATED)) return false;
    if ((flags & kFlagDataDescriptor) == 0) {
        if (Le32(b + 14) != h.crc || Le32(b + 18) != h.compSize || Le32(b + 22) != h.uncompSize) return false;
    }
    const uint16_t nameLength = Le16(b + 26);
    if (nameLength != h.nameLength) return false;
    *extraLength = Le16(b + 28);
    s.dataPos = pos + kLocalHeaderSize + nameLength + *extraLength;
    s.dataPosKnown = true;
    return true;
}

FILETIME UnixTimeToFileTime(int32_t seconds) noexcept {
    // 100 ns ticks from 1601-01-01 to 1970-01-01.
    constexpr int64_t kEpochDelta = 11644473600LL;
    const uint64_t ticks = static_cast<uint64_t>((int64_t{seconds} + kEpochDelta) * 10000000LL);
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

// The first "UT" block of a local extra field: flags, then the present times in order
// modification, access, creation. A block shorter than its flags promise gives what it holds.
void ApplyExtendedTimes(const uint8_t* extra, uint32_t length, ArchiveEntryA* e) noexcept {
    uint32_t pos = 0;
    while (pos + 4 < length) {
        const uint16_t tag = Le16(extra + pos);
        const uint16_t size = Le16(extra + pos + 2);
        if (tag == kTagExtendedTime) {
            const uint8_t* data = extra + pos + 4;
            const uint32_t avail = std::min<uint32_t>(size, length - pos - 4);
            if (avail == 0) return;
            const uint8_t flags = data[0];
            uint32_t off = 1;
            FILETIME* targets[3] = {&e->mtime, &e->atime, &e->ctime};
            for (int bit = 0; bit < 3; ++bit) {
                if ((flags & (1u << bit)) == 0) continue;
                if (off + 4 > avail) return;
                *targets[bit] = UnixTimeToFileTime(static_cast<int32_t>(Le32(data + off)));
                off += 4;
            }
            return;
        }
        pos += 4u + size;
    }
}

uint32_t AttributesFrom(uint32_t external) noexcept {
    uint32_t attr = FILE_ATTRIBUTE_NORMAL;
    // Bit 30 is the Unix directory mode bit in the high half; 0x10 the DOS one.
    if ((external & 0x40000000u) || (external & FILE_ATTRIBUTE_DIRECTORY))
        attr = FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY;
    if (external & FILE_ATTRIBUTE_ARCHIVE) attr |= FILE_ATTRIBUTE_ARCHIVE;
    if (external & FILE_ATTRIBUTE_HIDDEN) attr |= FILE_ATTRIBUTE_HIDDEN;
    if (external & FILE_ATTRIBUTE_SYSTEM) attr |= FILE_ATTRIBUTE_SYSTEM;
    // Read-only is left out on purpose: installed files must stay writable for updates.
    return attr;
}

void CloseOpenEntry(ArchiveReader& r) noexcept {
    if (r.archive) CloseEntryStream(*r.archive);  // verdict unused: nothing was asked of this entry
    r.openEntry = -1;
}

int32_t CheckHandle(ArchiveHandle* handle) noexcept {
    if (!handle) return kArchiveErrArgument;
    if (handle->kind != kArchiveHandleReader) return kArchiveErrNotReader;
    if (!handle->reader || !handle->reader->archive) return kArchiveErrArgument;
    return kArchiveOk;
}

bool IndexValid(const ArchiveState& s, int32_t index) noexcept {
    return index >= -1 && static_cast<int64_t>(index) < static_cast<int64_t>(s.entryCount);
}

int32_t DescribeEntry(ArchiveReader& r, int32_t index, ArchiveEntryA* out) noexcept {
    ArchiveState& s = *r.archive;
    if (!IndexValid(s, index)) return kArchiveErrArgument;
    CloseOpenEntry(r);
    if (index == -1) {
        memset(out, 0, sizeof *out);
        out->index = static_cast<int32_t>(s.entryCount);
        return kArchiveOk;
    }
    if (index == r.cachedIndex) {
        *out = r.cachedEntry;
        return kArchiveOk;
    }
    int32_t result = GoToEntry(s, index);
    if (result != kArchiveOk) return result;

    ArchiveEntryA e;
    memset(&e, 0, sizeof e);
    e.index = index;
    memcpy(e.name, s.currentName, sizeof e.name);
    e.utf8Name = (s.current.flags & kFlagUtf8Name) != 0;

    uint16_t extraLength = 0;
    if (!CheckLocalHeader(s, &extraLength)) return kArchiveErrCorrupt;
    std::unique_ptr<uint8_t[]> extra;
    if (extraLength != 0) {
        extra.reset(new (std::nothrow) uint8_t[extraLength]);
        if (!extra) return kArchiveErrExtraField;
        const uint64_t extraPos =
            uint64_t{s.current.localHeaderOffset} + s.bytesBefore + kLocalHeaderSize + s.current.nameLength;
        if (!ReadArchiveAt(s.file, extraPos, extra.get(), extraLength)) return kArchiveErrExtraField;
    }

    e.attr = AttributesFrom(s.current.externalAttr);
    FILETIME dos = {};
    // An invalid DOS stamp leaves the time zero; no time-zone adjustment, as stored.
    if (!DosDateTimeToFileTime(HIWORD(s.current.dosDateTime), LOWORD(s.current.dosDateTime), &dos)) dos = FILETIME{};
    e.atime = e.ctime = e.mtime = dos;
    if (extraLength > 4) ApplyExtendedTimes(extra.get(), extraLength, &e);

    e.compSize = static_cast<int32_t>(s.current.compSize);
    e.uncompSize = static_cast<int32_t>(s.current.uncompSize);
    r.cachedEntry = e;
    r.cachedIndex = index;
    *out = e;
    return kArchiveOk;
}

// Whether two entries' local data (header through compressed bytes) overlap, or one runs into the
// central directory: records that share data would have the same bytes written again and again, so
// a few kilobytes of directory could expand to gigabytes. One walk of the directory, read in
// blocks, and one sort. A directory that cannot be walked to its end, and an entry whose data would
// run past the end of the file, are damage left to the operations that meet it, which fail with
// their own codes.
bool EntriesOverlap(ArchiveState& s) noexcept {
    uint64_t fileSize = 0;
    if (!ArchiveFileSize(s.file, &fileSize)) return false;
    struct Range {
        uint32_t start;
        uint64_t end;  // at least: the local extra field's length is only known from the local header
    };
    std::vector<Range> ranges;
    std::vector<uint8_t> block;
    try {
        ranges.reserve(s.entryCount);
        block.resize(64 * 1024);
    } catch (...) {
        return false;
    }
    uint64_t blockPos = 0;
    uint32_t blockLength = 0;
    // The bytes at pos, read with the block they fall in; null past the end or on a read error.
    auto bytesAt = [&](uint64_t pos, uint32_t size) -> const uint8_t* {
        if (pos < blockPos || pos + size > blockPos + blockLength) {
            const int64_t got = ReadArchiveSome(s.file, pos, block.data(), static_cast<uint32_t>(block.size()));
            if (got < 0) return nullptr;
            blockPos = pos;
            blockLength = static_cast<uint32_t>(got);
            if (pos + size > blockPos + blockLength) return nullptr;
        }
        return block.data() + (pos - blockPos);
    };
    uint64_t pos = uint64_t{s.centralDirOffset} + s.bytesBefore;
    for (uint32_t i = 0; i < s.entryCount; ++i) {
        const uint8_t* b = bytesAt(pos, kCentralHeaderSize);
        if (b == nullptr || Le32(b) != kCentralHeaderSig) return false;
        const uint32_t compSize = Le32(b + 20);
        const uint16_t nameLength = Le16(b + 28);
        const uint32_t offset = Le32(b + 42);
        const uint64_t end = uint64_t{offset} + kLocalHeaderSize + nameLength + compSize;
        if (end + s.bytesBefore <= fileSize) ranges.push_back({offset, end});
        pos += uint64_t{kCentralHeaderSize} + nameLength + Le16(b + 30) + Le16(b + 32);
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (ranges[i].end > s.centralDirOffset) return true;
        if (i > 0 && ranges[i].start < ranges[i - 1].end) return true;
    }
    return false;
}

int32_t OpenReader(ArchiveReader& r, const wchar_t* path, HANDLE sameFileAs) noexcept {
    if (r.archive) return kArchiveErrAlreadyOpen;
    const DWORD dirLength = GetCurrentDirectoryW(MAX_PATH, r.rootDir);
    if (dirLength == 0 || dirLength >= MAX_PATH - 1) {
        r.rootDir[0] = L'\0';  // no room for the backslash: relative targets get no folders
    } else if (r.rootDir[dirLength - 1] != L'\\') {
        r.rootDir[dirLength] = L'\\';
        r.rootDir[dirLength + 1] = L'\0';
    }

    std::unique_ptr<ArchiveState> s(new (std::nothrow) ArchiveState);
    if (!s) return kArchiveErrIo;
    s->file.handle.reset(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!s->file.handle) return kArchiveErrOpenFile;
    if (sameFileAs != nullptr && !SameFile(s->file.handle.get(), sameFileAs)) return kArchiveErrOpenFile;
    s->file.canSeek = GetFileType(s->file.handle.get()) == FILE_TYPE_DISK;
    s->file.position = 0;

    uint64_t endPos = 0;
    if (!FindEndRecord(s->file, &endPos)) return kArchiveErrIo;
    uint8_t b[kEndRecordSize];
    if (!ReadArchiveAt(s->file, endPos, b, sizeof b)) return kArchiveErrIo;
    const uint16_t thisDisk = Le16(b + 4);
    const uint16_t centralDisk = Le16(b + 6);
    const uint16_t entriesHere = Le16(b + 8);
    const uint16_t entriesTotal = Le16(b + 10);
    s->centralDirSize = Le32(b + 12);
    s->centralDirOffset = Le32(b + 16);
    if (entriesHere != entriesTotal || thisDisk != 0 || centralDisk != 0) return kArchiveErrBadEndRecord;
    const uint64_t centralEnd = uint64_t{s->centralDirOffset} + s->centralDirSize;
    if (endPos < centralEnd) return kArchiveErrBadEndRecord;
    s->bytesBefore = endPos - centralEnd;
    s->entryCount = entriesTotal;
    if (EntriesOverlap(*s)) return kArchiveErrBadEndRecord;

    s->currentIndex = 0;
    s->currentHeaderPos = s->centralDirOffset;
    // A damaged first header does not fail the open; it fails the first use.
    if (s->entryCount != 0) ReadCentralHeader(*s);
    r.archive = s.release();
    return kArchiveOk;
}

}  // namespace

ArchiveHandle* OpenArchive(const wchar_t* path, HANDLE sameFileAs) noexcept {
    if (!path) {
        SetResult(kArchiveErrOpenFile);
        return nullptr;
    }
    std::unique_ptr<ArchiveReader> reader(new (std::nothrow) ArchiveReader);
    std::unique_ptr<ArchiveHandle> handle(new (std::nothrow) ArchiveHandle);
    if (!reader || !handle) {
        SetResult(kArchiveErrIo);
        return nullptr;
    }
    memset(reader.get(), 0, sizeof *reader);
    reader->openEntry = -1;
    reader->cachedIndex = -1;
    const int32_t result = OpenReader(*reader, path, sameFileAs);
    if (result != kArchiveOk) {
        SetResult(result);
        return nullptr;
    }
    handle->kind = kArchiveHandleReader;
    handle->reader = reader.release();
    lastArchiveError = kArchiveOk;
    return handle.release();
}

int32_t GetArchiveEntry(ArchiveHandle* handle, int32_t index, ArchiveEntry* entry) noexcept {
    int32_t result = CheckHandle(handle);
    if (result != kArchiveOk) return SetResult(result);
    if (!entry) return SetResult(kArchiveErrArgument);
    ArchiveEntryA narrow;
    result = DescribeEntry(*handle->reader, index, &narrow);
    if (result != kArchiveOk) return SetResult(result);

    entry->index = narrow.index;
    memset(entry->name, 0, sizeof entry->name);
    // Flag bit 11 marks a UTF-8 name; without it the bytes are in the ANSI code page.
    // 259 characters are offered, so the last one always stays a terminator.
    MultiByteToWideChar(narrow.utf8Name ? CP_UTF8 : CP_ACP, 0, narrow.name, -1, entry->name, 259);
    entry->name[259] = L'\0';
    entry->attr = narrow.attr;
    entry->atime = narrow.atime;
    entry->ctime = narrow.ctime;
    entry->mtime = narrow.mtime;
    entry->compSize = narrow.compSize;
    entry->uncompSize = narrow.uncompSize;
    lastArchiveError = kArchiveOk;
    return kArchiveOk;
}

// Delivers an entry's bytes to `sink` block by block and checks its CRC; the entry must have
// been described just before. A sink returning false fails the entry with 0x400.
template <typename Sink>
static int32_t StreamEntry(ArchiveReader& r, int32_t index, Sink sink) noexcept {
    ArchiveState& s = *r.archive;
    // A cached description may have left the directory walk elsewhere.
    int32_t result = GoToEntry(s, index);
    if (result != kArchiveOk) return result;
    uint16_t extraLength = 0;
    if (!s.dataPosKnown && !CheckLocalHeader(s, &extraLength)) return kArchiveErrCorrupt;

    if (ReadsWhole(s) && ReadEntryWhole(s) == kArchiveOk) {
        const uint32_t size = s.current.uncompSize;
        return size == 0 || sink(s.whole.data(), static_cast<DWORD>(size)) ? kArchiveOk : kArchiveErrExtract;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kZipBufferSize]);
    if (!buffer) return kArchiveErrExtract;
    result = OpenEntryStream(s);
    if (result != kArchiveOk) return result;
    r.openEntry = index;

    for (;;) {
        const int32_t n = ReadEntryStream(s, buffer.get(), kZipBufferSize);
        if (n < 0) {
            result = kArchiveErrExtract;
            break;
        }
        if (n == 0) break;
        if (!sink(buffer.get(), static_cast<DWORD>(n))) {
            result = kArchiveErrExtract;
            break;
        }
    }
    const int32_t crcResult = CloseEntryStream(s);
    r.openEntry = -1;
    return result == kArchiveOk ? crcResult : result;
}

// What extracting and reading an entry start with: close the open entry, check the index (-1,
// the count query, has nothing to read) and the destination, then describe the entry.
static int32_t BeginEntryRead(ArchiveHandle* handle, int32_t index, bool destinationGiven, ArchiveEntryA* e) noexcept {
    const int32_t result = CheckHandle(handle);
    if (result != kArchiveOk) return result;
    ArchiveReader& r = *handle->reader;
    CloseOpenEntry(r);
    if (index < 0 || !IndexValid(*r.archive, index) || !destinationGiven) return kArchiveErrArgument;
    return DescribeEntry(r, index, e);
}

int32_t CreateEntryTarget(ArchiveHandle* handle, int32_t index, const wchar_t* target, UniqueFile* file,
                          HANDLE folder) noexcept {
    file->reset();
    // An entry that cannot be described is not extracted: creating its target first would leave
    // an empty file behind a corrupt entry.
    ArchiveEntryA e;
    const int32_t result = BeginEntryRead(handle, index, target != nullptr, &e);
    if (result != kArchiveOk) return SetResult(result);
    if (e.attr & FILE_ATTRIBUTE_DIRECTORY) return SetResult(kArchiveOk);  // folders are made by the caller
    CreateTargetFolders(handle->reader->rootDir, target);
    file->reset(CreateTarget(target, e.attr, folder));
    return SetResult(*file ? kArchiveOk : kArchiveErrOpenFile);
}

int32_t FillEntryTarget(ArchiveHandle* handle, int32_t index, HANDLE file) noexcept {
    ArchiveEntryA e;
    int32_t result = BeginEntryRead(handle, index, file != nullptr, &e);
    if (result != kArchiveOk) return SetResult(result);
    if (e.attr & FILE_ATTRIBUTE_DIRECTORY) return SetResult(kArchiveOk);
    result = StreamEntry(*handle->reader, index, [file](const uint8_t* data, DWORD n) {
        DWORD written = 0;
        return WriteFile(file, data, n, &written, nullptr) && written == n;
    });
    if (result != kArchiveOk) return SetResult(result);
    if (GetFileType(file) == FILE_TYPE_DISK) {
        // Times are a courtesy: a file system that refuses them does not fail the extraction.
        SetFileTime(file, &e.ctime, &e.atime, &e.mtime);
    }
    return SetResult(kArchiveOk);
}

int32_t ExtractEntryKeepOpen(ArchiveHandle* handle, int32_t index, const wchar_t* target, UniqueFile* file) noexcept {
    file->reset();
    UniqueFile out;
    int32_t result = CreateEntryTarget(handle, index, target, &out);
    if (result == kArchiveOk && out) result = FillEntryTarget(handle, index, out.get());
    if (result == kArchiveOk) *file = std::move(out);
    return result;
}

int32_t ExtractEntry(ArchiveHandle* handle, int32_t index, const wchar_t* target) noexcept {
    UniqueFile file;
    const int32_t result = ExtractEntryKeepOpen(handle, index, target, &file);
    // Data a file system only writes out on close can still fail there.
    if (file && !::CloseHandle(file.release())) return SetResult(kArchiveErrExtract);
    return result;
}

int32_t ReadEntryToMemory(ArchiveHandle* handle, int32_t index, std::string* data, uint32_t maxBytes) noexcept {
    ArchiveEntryA e;
    int32_t result = BeginEntryRead(handle, index, data != nullptr, &e);
    if (result != kArchiveOk) return SetResult(result);
    ArchiveReader& r = *handle->reader;
    data->clear();
    if (e.attr & FILE_ATTRIBUTE_DIRECTORY) return SetResult(kArchiveOk);
    // The declared size is not trusted for the allocation: the limit is the caller's.
    if (static_cast<uint32_t>(e.uncompSize) > maxBytes) return SetResult(kArchiveErrExtract);
    try {
        data->reserve(static_cast<uint32_t>(e.uncompSize));
    } catch (...) {
        return SetResult(kArchiveErrExtract);
    }
    result = StreamEntry(r, index, [data, maxBytes](const uint8_t* bytes, DWORD n) {
        if (data->size() + n > maxBytes) return false;
        try {
            data->append(reinterpret_cast<const char*>(bytes), n);
        } catch (...) {
            return false;
        }
        return true;
    });
    if (result != kArchiveOk) data->clear();
    return SetResult(result);
}

int32_t VerifyEntry(ArchiveHandle* handle, int32_t index, Sha256Digest* digest) noexcept {
    ArchiveEntryA e;
    int32_t result = BeginEntryRead(handle, index, true, &e);
    if (result != kArchiveOk) return SetResult(result);
    Sha256 hash;
    if ((e.attr & FILE_ATTRIBUTE_DIRECTORY) == 0)
        result = StreamEntry(*handle->reader, index, [&hash, digest](const uint8_t* bytes, DWORD n) {
            if (digest != nullptr) hash.Update(bytes, n);
            return true;
        });
    if (result == kArchiveOk && digest != nullptr) hash.Finish(digest);
    return SetResult(result);
}

uint32_t WholeEntryBufferBytes(ArchiveHandle* handle) noexcept {
    return CheckHandle(handle) == kArchiveOk ? handle->reader->archive->whole.capacity : 0;
}

int32_t CloseArchive(ArchiveHandle* handle) noexcept {
    const int32_t result = CheckHandle(handle);
    if (result != kArchiveOk) return SetResult(result);
    ArchiveReader* reader = handle->reader;
    CloseOpenEntry(*reader);
    delete reader->archive;  // closes the archive file
    delete reader;
    handle->kind = 0;
    delete handle;
    lastArchiveError = kArchiveOk;
    return kArchiveOk;
}
