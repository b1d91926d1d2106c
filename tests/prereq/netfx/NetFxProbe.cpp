// Runs the .NET Framework task, or one of its steps, in the Wine prefix it is started in, and
// prints on one line what came of it:
//   state=<n> name=<installerName> next=<none|unzip:<progressBase>:<installPath>> posted=<msg:wParam:lParam ...>
// "posted" lists what the task posted to its window (a message-only one), by name.
//
//   netfx_probe LOG MODULEDIR [run|check|fixroot] [--state N] [--wait-ms N] [--low-speed-seconds N]
//
// fixroot prints "volatile" or "lasting" for the .NETFramework key of the 32-bit view as well,
// or "no key".

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "StandInUtil.h"
#include "app/InstallChain.h"
#include "base/Log.h"
#include "archive/UnZipTask.h"
#include "prereq/DotNetFrameworkTask.h"
#include "stats/ReportSender.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"

namespace {

std::string Posted(HWND window) {
    std::string posted;
    MSG msg;
    while (::PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
        // A download's own state and progress vary with the transfer; netfx_tests checks them.
        if (msg.message == WM_DOWNLOAD_STATE || msg.message == WM_DOWNLOAD_PROGRESS) continue;
        const char* name = msg.message == WM_INSTALL_PROGRESS       ? "progress"
                           : msg.message == WM_NETFX_DOWNLOAD_ERROR ? "error"
                                                                    : "other";
        char item[64];
        std::snprintf(item, sizeof item, "%s%s:%d:%d", posted.empty() ? "" : " ", name, static_cast<int>(msg.wParam),
                      static_cast<int>(msg.lParam));
        posted += item;
    }
    return posted.empty() ? "none" : posted;
}

// A key only volatile keys may be created under is volatile itself.
const char* Persistence() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallRootKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return "no key";
    HKEY child = nullptr;
    const LONG made = ::RegCreateKeyExW(key, L"vexo-probe", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                        nullptr, &child, nullptr);
    if (made == ERROR_SUCCESS) {
        ::RegCloseKey(child);
        ::RegDeleteKeyW(key, L"vexo-probe");
    }
    ::RegCloseKey(key);
    return made == ERROR_CHILD_MUST_BE_VOLATILE ? "volatile" : made == ERROR_SUCCESS ? "lasting" : "unknown";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: netfx_probe LOG MODULEDIR [run|check|fixroot] [options]\n");
        return 2;
    }
    InitLogAt(WindowsPath(argv[1]));
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetReportSender(SendReport);
    DotNetFrameworkTask task(window, MakeUnZipTask);
    task.SetModuleDir(WindowsPath(argv[2]));
    task.SetInstallPath(L"C:\\kavix");
    std::string step = "run";
    for (int i = 3; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--state") == 0 && hasValue)
            task.state = static_cast<NetFxState>(std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--wait-ms") == 0 && hasValue)
            task.sp2WaitLimitMs = static_cast<DWORD>(std::atol(argv[++i]));
        else if (std::strcmp(argv[i], "--low-speed-seconds") == 0 && hasValue)
            task.downloadLimits.lowSpeedSeconds = std::atol(argv[++i]);
        else
            step = argv[i];
    }

    if (step == "check")
        CheckFramework(task);
    else if (step == "fixroot")
        FixInstallRoot();
    else
        task.Run();

    std::string next = "none";
    if (auto* unzip = dynamic_cast<UnZipTask*>(task.next))
        next = "unzip:" + std::to_string(unzip->progressBase) + ":" + Utf8(unzip->installPath);
    else if (task.next != nullptr)
        next = "other";
    std::printf("state=%d name=%s next=%s posted=%s", static_cast<int>(task.state), Utf8(task.installerName).c_str(),
                next.c_str(), Posted(window).c_str());
    if (step == "fixroot") std::printf(" root=%s", Persistence());
    std::printf("\n");
    return 0;
}
