#pragma once
// How entries' data is read. Smaller entries are read in one piece and inflated in one call, one read
// and one write instead of one a block; larger ones stream in blocks, so memory stays flat. Both
// inflate with zlib, so the outcome is the same either way; tests force each way to show it.

#include <cstdint>

enum class InflatePath : int32_t {
    kChosen,     // whole when an entry fits the bound, streamed otherwise
    kStreaming,  // every entry streamed
    kWhole,      // every entry whole, whatever its size
};

// The most an entry's compressed and uncompressed bytes may take together to be read whole: the
// way is chosen by the entry's sizes alone, the same in the payload check and the extraction, and
// on that way a reader's buffer for whole entries never grows past it.
constexpr uint32_t kWholeEntryBytes = 2u << 20;

// Tests only: the way every reader of this process takes from now on, and the number of threads
// the payload check runs (0: one a processor).
void ForceInflatePath(InflatePath path) noexcept;
InflatePath ForcedInflatePath() noexcept;
void ForceCheckThreads(unsigned threads) noexcept;
unsigned ForcedCheckThreads() noexcept;
struct ArchiveHandle;
// Tests only: the bytes a reader holds for reading entries whole.
uint32_t WholeEntryBufferBytes(ArchiveHandle* handle) noexcept;
