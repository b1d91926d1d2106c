#include "prereq/DotNetFrameworkTask.h"

#include "base/Log.h"
#include "base/Owners.h"
#include "prereq/NetFxDownloader.h"
#include "prereq/OsVersion.h"
#include "prereq/ProgramRunner.h"
#include "prereq/RunFolder.h"
#include "tasks/InstallMessages.h"

namespace {

// A 32-bit number of an HKLM key; false when the key or the value cannot be read.
bool ReadDword(const wchar_t* subkey, const wchar_t* name, DWORD* value) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return false;
    DWORD size = sizeof *value;
    return ::RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
           ERROR_SUCCESS;
}

bool ReadsOne(const wchar_t* subkey) {
    DWORD value = 0;
    return ReadDword(subkey, L"Install", &value) && value == 1;
}

void Log(const wchar_t* line) { LogFormatW(g_log, L"%s", line); }

// The checked download, copied from the handle that holds it into a folder only administrators may
// write, to run from there. One that cannot be put there does not run at all.
bool PutDownload(DotNetFrameworkTask& task, const std::wstring& name, RunFolder* run) {
    if (run->Put(task.heldDownload.get(), name)) return true;
    LogFormatW(g_log, L"%s not run: it cannot be put into a folder only administrators may write", name.c_str());
    return false;
}

}  // namespace

bool IsNet2Installed() { return ReadsOne(kNet2Key); }
int GetNet2ServicePack() {
    DWORD value = 0;
    return ReadDword(kNet2Key, L"SP", &value) ? static_cast<int>(value) : -1;
}
bool IsNet40ClientInstalled() { return ReadsOne(L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4.0\\Client"); }
bool IsNet4ClientInstalled() { return ReadsOne(L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client"); }

bool IsWindowsXp() {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(&version)) return false;
#pragma GCC diagnostic pop
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion == 5 && version.dwMinorVersion == 1;
}

void DotNetFrameworkTask::Run() {
    DebugTrace(L"DotNetFrameworkTask start excute now");
    while (!finished) {
        switch (state) {
            case NetFxState::Check: CheckFramework(*this); break;
            case NetFxState::DownloadSp2: DownloadSp2(*this); break;
            case NetFxState::InstallSp2: InstallSp2(*this); break;
            case NetFxState::WaitSp2: WaitForSp2(*this); break;
            case NetFxState::Abort:
                finished = true;
                next = nullptr;
                break;
            case NetFxState::DownloadNetFx: DownloadNetFx(*this); break;
            case NetFxState::InstallNetFx: Install35NetFx(*this); break;
            case NetFxState::Finish:
            default: FinishTask(*this); break;
        }
    }
    DebugTrace(L"DotNetFrameworkTask exit excute now");
}

void CheckFramework(DotNetFrameworkTask& task) {
    task.installerName = L"WinNet832Bit";
    PostProgress(task.mainWindow, 5);
    Log(L"DotNetFrameworkTask checking framework now");
    task.state = NetFxState::Finish;

    if (IsWindowsXp()) {
        if (!(IsNet2Installed() && GetNet2ServicePack() == 2)) {
            Log(L"xp dected sp2 not installed  enter download state");
            task.state = NetFxState::DownloadSp2;
        }
    } else {
        struct Edition {
            bool (*check)();
            const wchar_t* okay;
            const wchar_t* installer;
        };
        static const Edition editions[] = {
            {IsWindows832Bit, L"windows 8 32 bit check net35 install okay", L"WinNet832Bit"},
            {IsWindows864Bit, L"windows 8 64 bit check net35 install okay", L"WinNet864Bit"},
            {IsWindows8132Bit, L"windows 8.1 32 bit check net35 install okay", L"WinNet8132Bit"},
            {IsWindows8164Bit, L"windows 8.1 64 bit check net35 install okay", L"WinNet8164Bit"},
            {IsWindows1032Bit, L"windows 10 32 bit check net35 install okay", L"WinNet1032Bit"},
            {IsWindows1064Bit, L"windows 10 64 bit check net35 install okay", L"WinNet1064Bit"},
        };
        const Edition* found = nullptr;
        for (const Edition& edition : editions) {
            if (edition.check()) {
                found = &edition;
                break;
            }
        }
        if (found != nullptr) {
            Log(found->okay);
            if (!CheckNet32()) {
                task.state = NetFxState::DownloadNetFx;
                task.installerName = found->installer;
            }
        } else {
            const bool present = IsNet40ClientInstalled() || IsNet4ClientInstalled() ||
                                 (IsNet2Installed() && GetNet2ServicePack() == 2);
            if (!present) {
                Log(L"dected sp2 not installed  enter download state");
                task.state = NetFxState::DownloadSp2;
            }
        }
    }
    FixInstallRoot();
}

bool CheckNet32() {
    wchar_t system[1024] = {};
    ::GetSystemDirectoryW(system, 1024);
    const std::wstring program = std::wstring(system) + L"\\cmd.exe";
    // "sysnative" reaches the 64-bit system folder from this 32-bit process.
    const std::wstring commandLine =
        GetSystemBits() == 64
            ? L"cmd /C %WINDIR%\\sysnative\\dism.exe /English /Online /Get-FeatureInfo /FeatureName:NetFX3"
            : L"cmd /C " + std::wstring(system) + L"\\dism.exe /English /Online /Get-FeatureInfo /FeatureName:NetFX3";
    const std::wstring output = RunProgram(program, commandLine);
    LogFormatW(g_log, L"CheckNet32 Install Result %s", output.c_str());
    return output.find(L"State : Enabled") != std::wstring::npos;
}

namespace {

void AddInstallRootIfMissing(HKEY key) {
    if (::RegQueryValueExW(key, L"InstallRoot", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) return;
    const LONG result = ::RegSetValueExW(key, L"InstallRoot", 0, REG_SZ, reinterpret_cast<const BYTE*>(kInstallRoot),
                                         sizeof kInstallRoot);
    if (result != ERROR_SUCCESS) LogCallFailed("RegSetValueExW", L"InstallRoot", static_cast<DWORD>(result));
}

}  // namespace

void FixInstallRoot() {
    if (IsWindowsXp() || GetSystemBits() != 64) return;
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallRootKey, 0, KEY_ALL_ACCESS, key.out()) == ERROR_SUCCESS) {
        AddInstallRootIfMissing(key.get());
        return;
    }
    // Non-volatile: the framework's root must survive a restart.
    const LONG created = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kInstallRootKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
    if (created != ERROR_SUCCESS) {
        LogCallFailed("RegCreateKeyExW", kInstallRootKey, static_cast<DWORD>(created));
        return;
    }
    AddInstallRootIfMissing(key.get());
}

void InstallSp2(DotNetFrameworkTask& task) {
    DebugTrace(L"DotNetFrameworkTask install framework enter now");
    PostProgress(task.mainWindow, 20, kProgressNetFx);
    const bool put = PutDownload(task, L"sp2.exe", &task.sp2Folder);
    if (put) ShellRun(task.sp2Folder.program(), L"/q /c:\"install /q\"", task.sp2Folder.folder(), true);
    task.heldDownload.reset();
    DebugTrace(L"DotNetFrameworkTask install framework exit now");
    if (put) {
        task.state = NetFxState::WaitSp2;
        return;
    }
    // Nothing ran that could install the pack: no wait for it.
    ::DeleteFileW((task.moduleDir + L"\\sp2.exe").c_str());
    task.state = NetFxState::Finish;
}

void WaitForSp2(DotNetFrameworkTask& task) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD sp = 0;
        if (IsNet2Installed() && ReadDword(kNet2Key, L"SP", &sp) && sp == 2) break;
        // Not forever: an installer that failed quietly would otherwise hold the window for good.
        if (::GetTickCount() - start >= task.sp2WaitLimitMs) {
            LogFormatW(g_log, L"sp2 still not installed after %u seconds, going on",
                       static_cast<unsigned>(task.sp2WaitLimitMs / 1000));
            break;
        }
        ::Sleep(1000);
    }
    // Its installer has ended either way (InstallSp2 waited for it), so it is not left behind.
    task.sp2Folder.Remove();
    ::DeleteFileW((task.moduleDir + L"\\sp2.exe").c_str());
    task.state = NetFxState::Finish;
}

void Install35NetFx(DotNetFrameworkTask& task) {
    Log(L"Install35NetFx now");
    const std::wstring downloaded = task.moduleDir + L"\\" + task.installerName + L".exe";
    RunFolder run;
    if (PutDownload(task, task.installerName + L".exe", &run)) {
        LogFormatW(g_log, L"install path %s", run.program().c_str());
        RunProgram(run.program(), run.program(), run.folder());
    }
    run.Remove();
    task.heldDownload.reset();
    ::DeleteFileW(downloaded.c_str());
    task.state = NetFxState::Finish;
}

void FinishTask(DotNetFrameworkTask& task) {
    DebugTrace(L"DotNetFrameworkTask exit now");
    PostProgress(task.mainWindow, 30);
    task.finished = true;
    task.ChainNext(task.successor_, 30);
}
