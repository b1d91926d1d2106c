// Puts the installer window on its progress screen, with its highlight and slide timers
// running, lets it idle for a while and prints the CPU time it used.
//
//   window_idle.exe <seconds> <folder holding res.zip>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "stats/ReportSender.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"
#include "tasks/TaskManager.h"
#include "ui/MainFrameWnd.h"

namespace {

// Keeps the runner busy so the window stays on its progress screen.
class HeldTask : public TaskBase {
public:
    using TaskBase::TaskBase;
    void Run() override { ::Sleep(INFINITE); }
};

uint64_t ProcessCpu100ns() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; };
    return ticks(kernel) + ticks(user);
}

void Pump(DWORD ms) {
    const DWORD start = ::GetTickCount();
    MSG msg;
    while (::GetTickCount() - start < ms) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - (::GetTickCount() - start), QS_ALLINPUT);
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: window_idle <seconds> <skin folder>\n");
        return 2;
    }
    const DWORD seconds = static_cast<DWORD>(_wtoi(argv[1]));
    SetReportSender(SendReport);
    UiLib::CPaintManagerUI::SetInstance(::GetModuleHandleW(nullptr));
    UiLib::CPaintManagerUI::SetResourcePath((std::wstring(argv[2]) + L"\\").c_str());
    UiLib::CPaintManagerUI::SetResourceZip(L"res.zip", false);

    g_mainFrame = new MainFrameWnd();
    g_mainFrame->Create(nullptr, L"Vexo模拟器安装程序", 0x96C80000, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, nullptr);
    g_mainFrame->CenterWindow();
    g_mainFrame->ShowWindow(true, true);
    g_taskManager.mainWindow = g_mainFrame->GetHWND();
    g_taskManager.firstTask = new HeldTask(g_mainFrame->GetHWND());
    g_mainFrame->StartInstallation();
    ::PostMessageW(g_mainFrame->GetHWND(), WM_INSTALL_PROGRESS, 60, kProgressPlain);

    Pump(2000);  // settle: first paints, image decoding
    const uint64_t before = ProcessCpu100ns();
    const DWORD start = ::GetTickCount();
    Pump(seconds * 1000);
    const double wall = (::GetTickCount() - start) / 1000.0;
    const double cpu = (ProcessCpu100ns() - before) / 1e7;
    std::printf("idle_seconds=%.1f cpu_seconds=%.3f cpu_percent=%.2f\n", wall, cpu, 100.0 * cpu / wall);
    std::fflush(stdout);
    ::ExitProcess(0);
}
