#include "prereq/RunVCTask.h"

#include "base/Log.h"
#include "base/Product.h"
#include "prereq/ProgramRunner.h"
#include "prereq/RunFolder.h"
#include "prereq/UserStart.h"
#include "tasks/InstallMessages.h"

void RunVCTask::Run() {
    DebugTrace(L"RunVCTask enter ");
    PostProgress(mainWindow, 90);
    {
        // Run from a folder only administrators may write: the install folder may be the user's.
        RunFolder run;
        if (run.PutFile(installPath + L"\\assets\\software\\vc.exe", L"vc.exe"))
            ShellRun(run.program(), kRuntimeParameters, run.folder(), true);
    }
    PostProgress(mainWindow, 98);
    if (startsEmulator) StartAsUser(installPath + kEmulatorFile, installPath);
    DebugTrace(L"RunVCTask exit ");
}
