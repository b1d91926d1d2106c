// Extracts every entry of an archive below a folder, the way the unzip task does, and prints
// the entry count, bytes written, wall time and the process's peak memory.
//
//   zip_bench <archive> <target-folder>

#include <windows.h>

#include <cstdio>
#include <string>

#include "BenchArchive.h"
#include "PeakMemory.h"
#include "archive/ZipReader.h"


int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: zip_bench <archive> <target-folder>\n");
        return 2;
    }
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);

    // Relative targets: the reader creates their folders below the current directory.
    CreateDirectoryW(argv[2], nullptr);
    if (!SetCurrentDirectoryW(argv[2])) {
        fprintf(stderr, "cannot enter the target folder\n");
        return 1;
    }
    int32_t count = 0;
    ArchiveHandle* archive = OpenBenchArchive(argv[1], &count);
    if (!archive) return 1;
    ArchiveEntry entry;
    uint64_t bytes = 0;
    int failures = 0;
    std::wstring target;
    for (int32_t i = 0; i < count; ++i) {
        if (GetArchiveEntry(archive, i, &entry) != kArchiveOk) {
            ++failures;
            continue;
        }
        target = entry.name;
        for (auto& c : target)
            if (c == L'/') c = L'\\';
        if (entry.attr & FILE_ATTRIBUTE_DIRECTORY) {
            CreateDirectoryW(target.c_str(), nullptr);  // folders are the caller's job
            continue;
        }
        const int32_t result = ExtractEntry(archive, i, target.c_str());
        if (result != kArchiveOk) {
            fprintf(stderr, "entry %d failed: %d\n", i, result);
            ++failures;
            continue;
        }
        bytes += static_cast<uint32_t>(entry.uncompSize);
    }
    CloseArchive(archive);
    QueryPerformanceCounter(&end);
    const double seconds = double(end.QuadPart - start.QuadPart) / double(freq.QuadPart);
    printf("entries=%d\nbytes=%llu\nfailures=%d\nseconds=%.3f\nmb_per_s=%.1f\n", count,
           static_cast<unsigned long long>(bytes), failures, seconds, bytes / 1e6 / seconds);
    PrintPeakMemory();
    return failures == 0 ? 0 : 1;
}
