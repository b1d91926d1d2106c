#pragma once
// What can be known of the payload before an earlier installation is touched.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/ZipReader.h"

// Reads the whole payload as the extraction will, writing nothing: every entry described, its name
// checked, its folder there by the time it comes (one level per entry, as the extraction makes
// them), its data inflated and CRC-checked; no name used both as a file and as a folder on another
// entry's way (as Windows compares names), and no junction or symbolic link there now on an entry's
// way, from the install folder itself down. False at the first entry the extraction would fail on,
// or that would write through a link, with what is wrong in *problem. With heldPayload, what is
// read must be that held file.
// The same in steps, so the disk-space sum comes from the same walk: Walk reads the central
// directory once (names, ways and the order rule, and the files' sizes), the drive is asked, then
// DataWhole reads the data, on every core.
class PayloadCheck {
public:
    PayloadCheck(const std::wstring& payloadPath, const std::wstring& installPath, HANDLE heldPayload);
    ~PayloadCheck();
    PayloadCheck(const PayloadCheck&) = delete;
    PayloadCheck& operator=(const PayloadCheck&) = delete;

    // Sums the files' sizes, each rounded up to whole clusters of clusterBytes (1: as they are).
    void Walk(uint64_t clusterBytes);
    // Every entry could be described, so NeededBytes is the whole payload's.
    bool Sized() const { return sized_; }
    uint64_t NeededBytes() const { return neededBytes_; }
    // False at the first entry, in archive order, whose name, way or data fails.
    bool DataWhole(std::wstring* problem);
    // The walk's part alone: false when the archive cannot be read or an entry's name or way is
    // refused. Where the earlier installation stays aside, a damaged entry's data fails the
    // extraction with nothing else changed, so the data need not be read first.
    bool NamesHold(std::wstring* problem) const;

private:
    std::wstring payloadPath_;
    HANDLE heldPayload_;
    std::wstring root_;
    UniqueArchive archive_;
    int32_t count_ = 0;
    int32_t refused_ = 0;  // the first entry refused by its name or way; count_ when none
    std::wstring refusal_;
    bool sized_ = false;
    uint64_t neededBytes_ = 0;
    std::vector<uint32_t> sizes_;  // uncompressed, up to the first refused entry
};

bool PayloadIsWhole(const std::wstring& payloadPath, const std::wstring& installPath, std::wstring* problem,
                    HANDLE heldPayload = nullptr);
