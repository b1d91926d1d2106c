#include "prereq/RunVCTask.h"

#include "app/Log.h"
#include "prereq/ProgramRunner.h"
#include "tasks/InstallMessages.h"

void RunVCTask::Run() {
    DebugTrace(L"RunVCTask enter ");
    PostProgress(mainWindow, 90);
    ShellRun(installPath + L"\\assets\\software\\vc.exe", kRuntimeParameters, installPath, true);
    PostProgress(mainWindow, 98);
    ShellRun(installPath + L"\\ZavozidaDedor.exe", nullptr, installPath, false);
    DebugTrace(L"RunVCTask exit ");
}
