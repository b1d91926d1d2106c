// The check an upgrade makes before it touches the earlier installation: reads the whole archive
// as the extraction will, writing nothing; prints whether it passed, the time and peak memory.
//
//   payload_check_bench <archive> <install-folder> [<threads>]   (threads 0 or none: one a processor)

#include <windows.h>

#include <cstdio>
#include <string>

#include "PeakMemory.h"
#include "archive/InflatePath.h"
#include "archive/PayloadCheck.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: payload_check_bench <archive> <install-folder> [<threads>]\n");
        return 2;
    }
    if (argc == 4) ForceCheckThreads(wcstoul(argv[3], nullptr, 10));
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    std::wstring problem;
    const bool whole = PayloadIsWhole(argv[1], argv[2], &problem);
    QueryPerformanceCounter(&end);
    printf("whole=%d\nseconds=%.3f\n", whole ? 1 : 0, double(end.QuadPart - start.QuadPart) / double(freq.QuadPart));
    if (!whole) printf("problem=%ls\n", problem.c_str());
    PrintPeakMemory();
    return whole ? 0 : 1;
}
