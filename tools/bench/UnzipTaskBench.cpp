// Runs the installer's unzip task, as the installer does, on "platform.zip" beside this
// program, into the given install folder, and prints what it extracted, the time and the
// process's peak memory.
//
//   unzip_task_bench <install-folder>

#include <windows.h>

#include <cstdio>
#include <string>

#include "PeakMemory.h"
#include "archive/UnZipTask.h"
#include "tasks/InstallMessages.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: unzip_task_bench <install-folder>\n");
        return 2;
    }
    // No window: posted to a null window, the task's messages land in this thread's queue, and
    // the process stays clear of the display, as the figures should measure extraction.
    HWND window = nullptr;
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);

    UnZipTask task(window);
    task.progressBase = 30;
    task.SetInstallPath(argv[1]);
    task.Run();

    QueryPerformanceCounter(&end);
    int lastProgress = 0;
    bool failed = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_USER, WM_USER + 100, PM_REMOVE)) {
        if (msg.message == WM_INSTALL_PROGRESS) lastProgress = static_cast<int>(msg.wParam);
        if (msg.message == WM_DISK_SPACE_ERROR) failed = true;
    }
    const double seconds = double(end.QuadPart - start.QuadPart) / double(freq.QuadPart);
    printf("failed=%d\nlast_progress=%d\nseconds=%.3f\n", failed ? 1 : 0, lastProgress, seconds);
    // This process's own work, apart from the waits on the file system and the Wine server, which
    // other loads on the machine stretch.
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        const auto ticks = [](const FILETIME& t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
        printf("cpu_seconds=%.3f\n", double(ticks(kernel) + ticks(user)) / 1e7);
    }
    PrintPeakMemory();
    return failed ? 1 : 0;
}
