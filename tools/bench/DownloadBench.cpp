// The installer's downloader on one URL: the result, the bytes in the file, the time and peak
// memory.
//
//   download_bench <url> <file>

#include <windows.h>

#include <cstdio>
#include <string>

#include "PeakMemory.h"
#include "prereq/NetFxDownloader.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: download_bench <url> <file>\n");
        return 2;
    }
    TransferLimits limits;
    limits.firstRetryWaitMs = 100;
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    DownloadedFile done;
    const DownloadResult result = DownloadToFile(argv[1], argv[2], limits, &done);
    QueryPerformanceCounter(&end);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    const unsigned long long bytes =
        ::GetFileAttributesExW(argv[2], GetFileExInfoStandard, &data)
            ? (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
            : 0;
    printf("ok=%d\nbytes=%llu\nseconds=%.3f\nsha256=%s\n", result == DownloadResult::Ok ? 1 : 0, bytes,
           double(end.QuadPart - start.QuadPart) / double(freq.QuadPart), ToHex(done.digest).c_str());
    PrintPeakMemory();
    return result == DownloadResult::Ok ? 0 : 1;
}
