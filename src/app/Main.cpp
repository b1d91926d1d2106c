#include <windows.h>

#include "app/Log.h"

// The window, the first task and the message loop arrive with the installer window; until
// then start-up only opens the log beside the executable.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    InitLog();
    return 0;
}
