#pragma once
// The benchmark archive, opened for the programs that walk it.

#include <cstdint>
#include <cstdio>

#include "archive/ZipReader.h"

// The archive at path, its entry count in *count; null, the reason printed, when it cannot be read.
inline ArchiveHandle* OpenBenchArchive(const wchar_t* path, int32_t* count) {
    ArchiveHandle* archive = OpenArchive(path);
    ArchiveEntry entry;
    if (archive == nullptr || GetArchiveEntry(archive, -1, &entry) != kArchiveOk) {
        fprintf(stderr, "open failed: %d\n", lastArchiveError);
        if (archive != nullptr) CloseArchive(archive);
        return nullptr;
    }
    *count = entry.index;
    return archive;
}
