// Reading one entry's data: stored bytes straight through, deflated ones through zlib's raw inflate,
// whole or streamed.

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "archive/InflatePath.h"
#include "archive/ZipArchiveState.h"

namespace {

std::atomic<InflatePath> forcedPath{InflatePath::kChosen};
std::atomic<unsigned> forcedCheckThreads{0};

}  // namespace

void ForceInflatePath(InflatePath path) noexcept { forcedPath = path; }
InflatePath ForcedInflatePath() noexcept { return forcedPath; }
void ForceCheckThreads(unsigned threads) noexcept { forcedCheckThreads = threads; }
unsigned ForcedCheckThreads() noexcept { return forcedCheckThreads; }

ArchiveState::ArchiveState() = default;

ArchiveState::~ArchiveState() {
    if (wholeStreamReady) inflateEnd(&wholeStream);
}

int32_t OpenEntryStream(ArchiveState& state) noexcept {
    const CentralHeader& h = state.current;
    std::unique_ptr<EntryReadState> rs(new (std::nothrow) EntryReadState);
    if (!rs) return kArchiveErrExtract;
    rs->input.reset(new (std::nothrow) uint8_t[kZipBufferSize]);
    if (!rs->input) return kArchiveErrExtract;
    rs->method = h.method;
    rs->expectedCrc = h.crc;
    rs->compLeft = h.compSize;
    rs->uncompLeft = h.uncompSize;
    rs->nextPos = state.dataPos;
    rs->crc = 0;
    if (h.method == Z_DEFLATED) {
        // Raw deflate: no zlib header, 32 KiB window.
        if (inflateInit2(&rs->stream, -MAX_WBITS) != Z_OK) return kArchiveErrExtract;
        rs->streamReady = true;
    }
    state.read = std::move(rs);
    return kArchiveOk;
}

static bool RefillInput(ArchiveState& state, EntryReadState& rs) noexcept {
    const uint32_t want = std::min(kZipBufferSize, rs.compLeft);
    if (!ReadArchiveAt(state.file, rs.nextPos, rs.input.get(), want)) return false;
    rs.nextPos += want;
    rs.compLeft -= want;
    rs.inputUsed = 0;
    rs.inputFill = want;
    if (rs.streamReady) {
        rs.stream.next_in = rs.input.get();
        rs.stream.avail_in = want;
    }
    return true;
}

int32_t ReadEntryStream(ArchiveState& state, uint8_t* out, uint32_t size) noexcept {
    EntryReadState* rs = state.read.get();
    if (!rs || !out) return -1;
    const uint32_t want = std::min(size, rs->uncompLeft);
    uint32_t produced = 0;
    while (produced < want) {
        const uint32_t inputLeft = rs->streamReady ? rs->stream.avail_in : rs->inputFill - rs->inputUsed;
        if (inputLeft == 0) {
            // The data ended before the declared size was delivered: a truncated entry is a
            // failure, whatever its CRC says.
            if (rs->compLeft == 0) return -1;
            if (!RefillInput(state, *rs)) return -1;
        }
        if (!rs->streamReady) {
            const uint32_t n = std::min(rs->inputFill - rs->inputUsed, want - produced);
            memcpy(out + produced, rs->input.get() + rs->inputUsed, n);
            rs->inputUsed += n;
            produced += n;
            continue;
        }
        z_stream& z = rs->stream;
        z.next_out = out + produced;
        z.avail_out = want - produced;
        const uInt outBefore = z.avail_out;
        const int ret = inflate(&z, Z_SYNC_FLUSH);
        produced += outBefore - z.avail_out;
        if (ret == Z_STREAM_END) {
            // Same for a stream that ends early: short data is not a complete entry.
            if (rs->uncompLeft - produced != 0) return -1;
            break;
        }
        if (ret == Z_BUF_ERROR) {
            // No progress possible: only acceptable when inflate merely wants more input.
            if (z.avail_in != 0) return -1;
            continue;
        }
        if (ret != Z_OK) return -1;
    }
    rs->crc = libdeflate_crc32(rs->crc, out, produced);
    rs->uncompLeft -= produced;
    return static_cast<int32_t>(produced);
}

int32_t CloseEntryStream(ArchiveState& state) noexcept {
    int32_t result = kArchiveOk;
    if (state.read) {
        if (state.read->uncompLeft == 0 && state.read->crc != state.read->expectedCrc) result = kArchiveErrExtract;
        state.read.reset();
    }
    return result;
}

bool ReadsWhole(const ArchiveState& state) noexcept {
    const InflatePath path = forcedPath;
    if (path != InflatePath::kChosen) return path == InflatePath::kWhole;
    return uint64_t{state.current.compSize} + state.current.uncompSize <= kWholeEntryBytes;
}

// Read whole, an entry must give what streaming gives: its declared size, CRC checked. Whatever
// fails here is left to streaming, which decides the code as it always has (streaming also takes
// data that ends before all its compressed bytes are in the file). Both inflate with zlib, so what
// succeeds here succeeds streamed: the same decoder over the same bytes, streaming seeing no further
// than this one call does.
int32_t ReadEntryWhole(ArchiveState& state) noexcept {
    const CentralHeader& h = state.current;
    const uint32_t size = h.uncompSize;
    // Streaming reads nothing for no data.
    if (size == 0) return h.crc == 0 ? kArchiveOk : kArchiveErrExtract;
    if (h.method == 0 && h.compSize < size) return kArchiveErrExtract;
    // Streaming reads stored bytes in whole blocks, up to the block that holds the last byte
    // wanted: those must all be in the file here too.
    const uint64_t blocks = (uint64_t{size} + kZipBufferSize - 1) / kZipBufferSize * kZipBufferSize;
    const uint32_t comp = h.method == 0 ? static_cast<uint32_t>(std::min<uint64_t>(blocks, h.compSize)) : h.compSize;
    // Stored bytes are read straight where the data is wanted, compressed ones after it: within
    // compSize + uncompSize, the input never overlaps the output.
    const uint32_t inputAt = h.method == 0 ? 0 : size;
    const uint64_t need = uint64_t{inputAt} + comp;
    if (need > UINT32_MAX || !state.whole.Reserve(static_cast<uint32_t>(need))) return kArchiveErrExtract;
    uint8_t* const data = state.whole.data();
    if (comp != 0 && !ReadArchiveAt(state.file, state.dataPos, data + inputAt, comp)) return kArchiveErrExtract;
    if (h.method != 0) {
        z_stream& z = state.wholeStream;
        if (!state.wholeStreamReady) {
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return kArchiveErrExtract;
            state.wholeStreamReady = true;
        } else if (inflateReset(&z) != Z_OK) {
            return kArchiveErrExtract;
        }
        z.next_in = data + inputAt;
        z.avail_in = comp;
        z.next_out = data;
        z.avail_out = size;
        // As streamed, the declared size ends the entry, whether or not the stream ends there.
        const int ret = inflate(&z, Z_SYNC_FLUSH);
        if ((ret != Z_OK && ret != Z_STREAM_END) || z.avail_out != 0) return kArchiveErrExtract;
    }
    return libdeflate_crc32(0, data, size) == h.crc ? kArchiveOk : kArchiveErrExtract;
}
