// The process-wide objects, defined here in the order they must be built: within one
// translation unit, definition order is construction order.

#include "base/Log.h"
#include "base/NoDestroy.h"
#include "stats/InstallerInfo.h"
#include "tasks/TaskManager.h"
#include "ui/WndShadow.h"

class MainFrameWnd;

std::map<std::string, CLog*> g_logRegistry;
CLog* g_log = nullptr;

// Never destroyed: reports read it on the runner thread, which may still be sending one when
// the window ends the process with exit(0).
static NoDestroy<InstallerInfo> s_installerInfo(LoadInstallerInfo());
InstallerInfo& g_installerInfo = s_installerInfo.get();

MainFrameWnd* g_mainFrame = nullptr;

// Never destroyed: the runner may still be inside a task when the window ends the
// process with exit(0), so the chain and the install path stay valid to the very end.
static NoDestroy<TaskManager> s_taskManager;
TaskManager& g_taskManager = s_taskManager.get();

// The shadow registry.
UpdateLayeredWindowProc g_updateLayeredWindow = nullptr;
HINSTANCE g_shadowInstance = nullptr;
std::map<HWND, CWndShadow*> g_shadowMap;
