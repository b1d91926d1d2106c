#include "app/SilentInstall.h"

#include <windows.h>

#include "app/CommandLine.h"
#include "app/InstallChain.h"
#include "base/Log.h"
#include "tasks/InstallMessages.h"
#include "tasks/TaskManager.h"
#include "ui/InstallFolder.h"

int RunSilentInstall(const std::wstring& folder) {
    InitLog();
    const FolderCheck check = CheckInstallFolder(folder);
    if (check != FolderCheck::Ok) {
        LogFormatW(g_log, L"%s", FolderCheckMessage(check));
        return kSilentFolderRefused;
    }

    // The tasks report to a window: a message-only one stands in for the window nobody sees. It
    // lives until the process ends, as the window would.
    const HWND listener =
        ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (listener == nullptr) {
        LogCallFailed("CreateWindowExW", L"the silent install's listener", ::GetLastError());
        return kSilentFailed;
    }
    g_taskManager.mainWindow = listener;
    g_taskManager.firstTask = MakeInstallChain(listener, true);
    g_taskManager.startEvent = nullptr;
    g_taskManager.SetInstallPath(folder);
    g_taskManager.StartTaskManager();
    if (g_taskManager.threadId == 0) return kSilentFailed;  // no runner: nothing would ever end the wait

    // As the window would: the first error decides, the runner's end ends the process.
    int code = kSilentInstalled;
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.hwnd == listener) {
            if (msg.message == WM_INSTALL_DONE) return code;
            if (msg.message == WM_NETFX_DOWNLOAD_ERROR && code == kSilentInstalled) code = kSilentDownloadFailed;
            if (msg.message == WM_DISK_SPACE_ERROR && code == kSilentInstalled) code = kSilentExtractionFailed;
        }
        ::DispatchMessageW(&msg);
    }
    return kSilentFailed;
}
