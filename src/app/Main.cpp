#include <windows.h>

#include <new>

#include "app/InstallChain.h"
#include "base/Log.h"
#include "base/Product.h"
#include "base/SystemApi.h"
#include "stats/ReportSender.h"
#include "tasks/Reports.h"
#include "tasks/TaskManager.h"
#include "ui/MainFrameWnd.h"
#include "uilib/UiLib.h"

using UiLib::CPaintManagerUI;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // First: the installer runs elevated from folders anyone may drop a DLL into. (It imports only
    // known system DLLs, and static initialisation loads none.)
    RestrictDllSearch();
    // Before anything can report: the runner and the downloader send through it.
    SetReportSender(SendReport);

    CPaintManagerUI::SetInstance(instance);
    CPaintManagerUI::SetResourcePath(CPaintManagerUI::GetInstancePath());
    CPaintManagerUI::SetResourceZip(kSkinArchiveName, false);

    g_mainFrame = new (std::nothrow) MainFrameWnd();
    if (g_mainFrame != nullptr) {
        g_mainFrame->Create(nullptr, kInstallerDisplayName, 0x96C80000, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, nullptr);
        g_mainFrame->CenterWindow();
        g_mainFrame->ShowWindow(true, true);
    }
    InitLog();

    g_taskManager.mainWindow = g_mainFrame != nullptr ? g_mainFrame->GetHWND() : nullptr;
    g_taskManager.firstTask = MakeInstallChain(g_taskManager.mainWindow);
    g_taskManager.startEvent = nullptr;

    CPaintManagerUI::MessageLoop();

    delete g_mainFrame;
    return 0;
}
