#include "prereq/RunVCTask.h"

#include "base/Log.h"
#include "base/Product.h"
#include "base/Text.h"
#include "prereq/ProgramRunner.h"
#include "prereq/RunFolder.h"
#include "prereq/UserStart.h"
#include "tasks/InstallMessages.h"

void RunVCTask::Run() {
    DebugTrace(L"RunVCTask enter ");
    PostProgress(mainWindow, 90);
    {
        // Run from a folder only administrators may write, and only as the payload has it: the
        // install folder may be the user's, and its copy replaced since the extraction.
        const std::wstring package = installPath + kRuntimePackageFile;
        RunFolder run;
        if (runtimePackageSha256.empty()) {
            LogFormatW(g_log, L"%s is not in the payload: not run", package.c_str());
        } else if (run.PutFile(package, L"vc.exe")) {
            const std::string found = ToHex(run.digest());
            if (found == runtimePackageSha256)
                ShellRun(run.program(), kRuntimeParameters, run.folder(), true);
            else
                LogFormatW(g_log, L"%s is not the one extracted: SHA-256 %s, extracted %s; not run", package.c_str(),
                           ToWide(found, CP_UTF8).c_str(), ToWide(runtimePackageSha256, CP_UTF8).c_str());
        }
    }
    PostProgress(mainWindow, 98);
    if (startsEmulator) StartAsUser(installPath + kEmulatorFile, installPath);
    DebugTrace(L"RunVCTask exit ");
}
