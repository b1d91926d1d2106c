#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/Owners.h"
#include "prereq/NetFxDownloader.h"
#include "prereq/RunFolder.h"
#include "tasks/TaskBase.h"

enum class NetFxState : int32_t {
    Check = 0,
    DownloadSp2 = 1,
    InstallSp2 = 2,
    WaitSp2 = 3,
    Abort = 4,
    Finish = 5,
    DownloadNetFx = 6,
    InstallNetFx = 7,
};

// The first task: makes sure the .NET Framework this Windows needs is present, downloading and
// running its installer when it is not, then chains the extraction. A failed download ends the chain.
class DotNetFrameworkTask : public TaskBase {
public:
    // successor: makes the extraction that follows a framework found or installed.
    explicit DotNetFrameworkTask(HWND window, TaskFactory successor = nullptr) noexcept
        : TaskBase(window), successor_(successor) {}
    void Run() override;

    NetFxState state = NetFxState::Check;
    bool finished = false;
    std::wstring installerName;

    // How long WaitForSp2 polls before it gives up and goes on, and when a download is given
    // up; a test may shorten both.
    DWORD sp2WaitLimitMs = 20 * 60 * 1000;
    TransferLimits downloadLimits;
    // The checked download, open sharing reading only from its check until its program has run, so
    // the file that runs is the file that was checked.
    UniqueFile heldDownload;
    // Where the service pack runs from, until the pack shows: it may finish from a process of its
    // own started there.
    RunFolder sp2Folder;

private:
    friend void FinishTask(DotNetFrameworkTask& task);
    TaskFactory successor_;
};

void CheckFramework(DotNetFrameworkTask& task);
void InstallSp2(DotNetFrameworkTask& task);
void WaitForSp2(DotNetFrameworkTask& task);
void Install35NetFx(DotNetFrameworkTask& task);
void FinishTask(DotNetFrameworkTask& task);

// Whether dism reports the .NET 3.5 feature as enabled.
bool CheckNet32();
// On 64-bit Windows other than XP, adds the 32-bit framework's missing "InstallRoot".
void FixInstallRoot();

constexpr wchar_t kNet2Key[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727";
constexpr wchar_t kInstallRootKey[] = L"Software\\Wow6432Node\\Microsoft\\.NETFramework";
constexpr wchar_t kInstallRoot[] = L"C:\\Windows\\Microsoft.NET\\Framework\\";

bool IsNet2Installed();
// "SP" of .NET 2.0, or -1 when it cannot be read.
int GetNet2ServicePack();
bool IsNet40ClientInstalled();
bool IsNet4ClientInstalled();
// True for Windows XP (NT 5.1).
bool IsWindowsXp();
