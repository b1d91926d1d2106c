// Runs the installer's unzip task, as the installer does, on "platform.zip" beside this
// program, into the given install folder, and prints what it extracted, the time and the
// process's peak memory and the most threads it ran at once; where the product's folder is swapped,
// the moments the swap passed.
//
//   unzip_task_bench <install-folder> [<close-delay-ms> [<closer-threads>]]
//
// A close delay is a model of a scanner that reads each new file as it is closed: every close
// of an extracted file waits that long first. Closer threads 0 closes each file in turn.
// VEXO_PAYLOAD_PIN=<sha256 hex> in the environment runs it as a release pinning its payload.

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "PeakMemory.h"
#include "archive/UnZipTask.h"
#include "tasks/InstallMessages.h"

namespace {

unsigned ThreadsOfThisProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    unsigned threads = 0;
    THREADENTRY32 thread = {};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread))
        if (thread.th32OwnerProcessID == GetCurrentProcessId()) ++threads;
    CloseHandle(snapshot);
    return threads;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: unzip_task_bench <install-folder> [<close-delay-ms> [<closer-threads>]]\n");
        return 2;
    }
    const DWORD closeDelayMs = argc > 2 ? wcstoul(argv[2], nullptr, 10) : 0;
    // No window: posted to a null window, the task's messages land in this thread's queue, and
    // the process stays clear of the display, as the figures should measure extraction.
    HWND window = nullptr;
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);

    UnZipTask task(window);
    task.progressBase = 30;
    task.SetInstallPath(argv[1]);
    if (argc > 3) task.closerThreads = wcstoul(argv[3], nullptr, 10);
    // As a release that pins its payload: the digest it must have.
    if (const char* pin = std::getenv("VEXO_PAYLOAD_PIN")) task.payloadPin = pin;
    // Counting threads walks every thread of the system, dozens of calls to Wine's server that the
    // extraction would wait behind: once every thousand closes (closers are added early and stay).
    std::atomic<unsigned> closes{0}, mostThreads{0};
    task.beforeClose = [&](uint32_t) {
        if (closes++ % 1024 == 0) {
            const unsigned now = ThreadsOfThisProcess();
            for (unsigned seen = mostThreads; now > seen && !mostThreads.compare_exchange_weak(seen, now);) {}
        }
        if (closeDelayMs > 0) Sleep(closeDelayMs);
        return true;
    };
    // Where an upgrade's time goes: the moments the swap passes, in seconds from the start.
    double swapAt[3] = {-1, -1, -1};
    task.swapHook = [&](FolderSwap::Step step) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        swapAt[step] = double(now.QuadPart - start.QuadPart) / double(freq.QuadPart);
    };
    task.Run();

    QueryPerformanceCounter(&end);
    // The earlier folder goes on a thread of its own while the installation goes on; the process
    // waits for it, as the runner does before it reports the end.
    double removedAt = -1;
    if (task.afterwards) {
        WaitForSingleObject(task.afterwards.get(), INFINITE);
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        removedAt = double(now.QuadPart - start.QuadPart) / double(freq.QuadPart);
    }
    int lastProgress = 0;
    bool failed = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_USER, WM_USER + 100, PM_REMOVE)) {
        if (msg.message == WM_INSTALL_PROGRESS) lastProgress = static_cast<int>(msg.wParam);
        if (msg.message == WM_DISK_SPACE_ERROR) failed = true;
    }
    const double seconds = double(end.QuadPart - start.QuadPart) / double(freq.QuadPart);
    printf("failed=%d\nlast_progress=%d\nseconds=%.3f\n", failed ? 1 : 0, lastProgress, seconds);
    const char* swapKeys[3] = {"whole_seconds", "aside_seconds", "in_place_seconds"};
    for (int step = 0; step < 3; ++step)
        if (swapAt[step] >= 0) printf("%s=%.3f\n", swapKeys[step], swapAt[step]);
    if (removedAt >= 0) printf("removed_seconds=%.3f\n", removedAt);
    printf("closer_threads=%u\nclose_delay_ms=%lu\nmost_threads=%u\n", task.closerThreads,
           static_cast<unsigned long>(closeDelayMs), mostThreads.load());
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
