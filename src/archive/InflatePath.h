#pragma once
// How entries' data is read. Smaller entries are read in one piece and inflated in one call, which
// is about twice as fast as streaming; larger ones stream through zlib in blocks, so memory stays
// flat. The outcome is the same either way; tests force each way to show it.

#include <cstdint>

enum class InflatePath : int32_t {
    kChosen,     // whole when an entry fits the bound, streamed otherwise
    kStreaming,  // every entry streamed
    kWhole,      // every entry whole, whatever its size
};

// The most an entry's compressed and uncompressed bytes may take together to be read whole.
constexpr uint32_t kWholeEntryBytes = 2u << 20;

struct ArchiveHandle;
// The bound of a reader's whole entries, for readers that run side by side (kWholeEntryBytes at first).
void SetWholeEntryLimit(ArchiveHandle* handle, uint32_t bytes) noexcept;

// Tests only: the way every reader of this process takes from now on, and the number of threads
// the payload check runs (0: one a processor).
void ForceInflatePath(InflatePath path) noexcept;
InflatePath ForcedInflatePath() noexcept;
void ForceCheckThreads(unsigned threads) noexcept;
unsigned ForcedCheckThreads() noexcept;
