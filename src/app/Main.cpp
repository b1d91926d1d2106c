#include <windows.h>

#include <new>

#include "app/CommandLine.h"
#include "app/CrashHandler.h"
#include "app/InstallChain.h"
#include "app/SilentInstall.h"
#include "archive/FolderSwap.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/ReleasePins.h"
#include "base/SystemApi.h"
#include "stats/InstallerInfo.h"
#include "stats/ReportSender.h"
#include "tasks/Reports.h"
#include "tasks/TaskManager.h"
#include "ui/InstallFolder.h"
#include "ui/MainFrameWnd.h"
#include "ui/WindowTexts.h"
#include "uilib/UiLib.h"

using UiLib::CPaintManagerUI;

namespace {

// The window of an installer already running, brought to the front. One just started may not
// have made its window yet; a silent one never does, and any process may hold the mutex's name:
// without a window the user is told, rather than left wondering why nothing opened.
void ShowRunningInstaller() {
    HWND other = nullptr;
    for (int tries = 0; tries < 20; ++tries) {
        other = ::FindWindowW(L"MainFrame_Wnd", kInstallerDisplayName);
        if (other != nullptr) break;
        ::Sleep(100);
    }
    if (other == nullptr) {
        ::MessageBoxW(nullptr, kAnotherInstallerRunningText, kMessageCaption, MB_OK);
        return;
    }
    if (::IsIconic(other)) ::ShowWindow(other, SW_RESTORE);
    ::SetForegroundWindow(other);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLineText, int) {
    // First: the installer runs elevated from folders anyone may drop a DLL into. (It imports only
    // known system DLLs, and static initialisation loads none.)
    RestrictDllSearch();
    // Next: from here on a fault on any thread ends the installer through its own handler.
    InstallCrashHandler();
    // One installer at a time: a second would fight the first over the same folder. Released
    // when the process ends, however it ends.
    const UniqueHandle oneAtATime(::CreateMutexW(nullptr, FALSE, kInstallerMutexName));
    const bool anotherRuns = ::GetLastError() == ERROR_ALREADY_EXISTS;
    const CommandLine line = ParseCommandLine(commandLineText);
    SetCrashEnding(line.silent, nullptr);
    if (line.silent) {
        if (anotherRuns) return kSilentAlreadyRunning;
        if (line.unknown || line.help) return kSilentFailed;
    } else {
        if (anotherRuns) {
            ShowRunningInstaller();
            return 0;
        }
        if (line.unknown || line.help) {
            ::MessageBoxW(nullptr, kCommandLineHelp, L"提示", MB_OK);
            return 0;
        }
    }

    // Before anything else this run does: an upgrade that an earlier run left halfway is finished or
    // undone, so the install folder holds one whole version whatever this run then does.
    ClearUnfinishedSwaps();

    // The settings (checked as they were read) and the skin must be the release's own before they
    // are used; held from here to the end, so the skin checked is the skin read.
    const UniqueFile skin = HoldForReading(ModuleDirectory() + L"\\" + kSkinArchiveName);
    std::string found;
    if (g_installerInfo.settingsRefused ||
        CheckAgainst(skin.get(), PinRequiredFor(kPinnedSkin), &found) == PinCheck::Differs) {
        if (line.silent) return kSilentFilesDamaged;
        ::MessageBoxW(nullptr, kDamagedFilesText, kMessageCaption, MB_OK | MB_ICONERROR);
        return 0;
    }

    // Before anything can report: the runner and the downloader send through it.
    SetReportSender(SendReport);
    if (line.silent) return RunSilentInstall(line.folderGiven ? line.folder : DefaultInstallFolder());

    CPaintManagerUI::SetInstance(instance);
    CPaintManagerUI::SetResourcePath(CPaintManagerUI::GetInstancePath());
    CPaintManagerUI::SetResourceZip(kSkinArchiveName, false, skin.get());

    g_mainFrame = new (std::nothrow) MainFrameWnd();
    if (g_mainFrame != nullptr) {
        g_mainFrame->Create(nullptr, kInstallerDisplayName, 0x96C80000, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, nullptr);
        g_mainFrame->CenterWindow();
        g_mainFrame->ShowWindow(true, true);
        SetCrashEnding(false, g_mainFrame->GetHWND());
        // A folder given on the command line is proposed in place of the default one.
        if (line.folderGiven) g_mainFrame->ProposeFolder(line.folder);
    }
    InitLog();

    g_taskManager.mainWindow = g_mainFrame != nullptr ? g_mainFrame->GetHWND() : nullptr;
    g_taskManager.firstTask = MakeInstallChain(g_taskManager.mainWindow);
    g_taskManager.startEvent = nullptr;

    CPaintManagerUI::MessageLoop();

    delete g_mainFrame;
    return 0;
}
