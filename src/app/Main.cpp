#include <windows.h>

#include <new>

#include "app/Log.h"
#include "prereq/DotNetFrameworkTask.h"
#include "tasks/TaskManager.h"
#include "ui/MainFrameWnd.h"
#include "uilib/UiLib.h"

using UiLib::CPaintManagerUI;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    CPaintManagerUI::SetInstance(instance);
    CPaintManagerUI::SetResourcePath(CPaintManagerUI::GetInstancePath());
    CPaintManagerUI::SetResourceZip(L"res.zip", false);

    g_mainFrame = new (std::nothrow) MainFrameWnd();
    if (g_mainFrame != nullptr) {
        g_mainFrame->Create(nullptr, L"Vexo模拟器安装程序", 0x96C80000, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, nullptr);
        g_mainFrame->CenterWindow();
        g_mainFrame->ShowWindow(true, true);
    }
    InitLog();

    g_taskManager.mainWindow = g_mainFrame != nullptr ? g_mainFrame->GetHWND() : nullptr;
    g_taskManager.firstTask = new (std::nothrow) DotNetFrameworkTask(g_taskManager.mainWindow);
    g_taskManager.startEvent = nullptr;

    CPaintManagerUI::MessageLoop();

    delete g_mainFrame;
    return 0;
}
