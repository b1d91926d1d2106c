#include <windows.h>

#include "app/Log.h"
#include "tasks/TaskManager.h"

// The window and the first task arrive with the installer window; until then start-up
// only opens the log.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    InitLog();
    g_taskManager.startEvent = nullptr;
    return 0;
}
