#include "prereq/RunVCTask.h"

#include "base/Log.h"
#include "base/Product.h"
#include "prereq/ProgramRunner.h"
#include "prereq/UserStart.h"
#include "tasks/InstallMessages.h"

void RunVCTask::Run() {
    DebugTrace(L"RunVCTask enter ");
    PostProgress(mainWindow, 90);
    ShellRun(installPath + L"\\assets\\software\\vc.exe", kRuntimeParameters, installPath, true);
    PostProgress(mainWindow, 98);
    if (startsEmulator) StartAsUser(installPath + kEmulatorFile, installPath);
    DebugTrace(L"RunVCTask exit ");
}
