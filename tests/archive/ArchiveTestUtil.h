#pragma once
// Helpers of the archive tests.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "TestFiles.h"

// A zip of `names` (UTF-8; one ending in "/" is a folder), each file stored with its name as data.
std::string StoredZip(const std::vector<std::string>& names);

// An archive the fixture made.
std::wstring ZipData(const std::wstring& name);
uint64_t Ticks(const FILETIME& ft);
uint64_t TicksFromUnix(int64_t seconds);

// What a tree holds, by full path.
struct Seen {
    DWORD attributes;
    uint64_t size;
    uint64_t written;
    uint64_t digest;  // of a file's contents
    bool operator==(const Seen& o) const {
        return attributes == o.attributes && size == o.size && written == o.written && digest == o.digest;
    }
};
using Listing = std::map<std::wstring, Seen>;

// Everything below `folder` but `skip` and what is in it; files' contents too when `read`.
void List(const std::wstring& folder, const std::wstring& skip, Listing* listing, bool read = true);
// The first difference between two listings, or empty.
std::string Difference(const Listing& before, const Listing& after);
