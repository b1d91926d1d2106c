// The installer executable itself: the ways its window ends the process.

#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <tlhelp32.h>

#include <iterator>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "base/Owners.h"
#include "WindowDriver.h"
#include "base/Product.h"
#include "tasks/InstallMessages.h"
#include "ui/WindowTexts.h"

namespace {

// The installer staged in a folder of its own beside its skin, started, its window found.
// DLLs the installer uses that are not known system DLLs, as a planted copy would be named. The
// test runs with a native override for each, so Wine searches for them as Windows does, in the
// program's own folder first. The version DLL is planted only for the run-time check: Wine's own
// user32 imports it by name (Windows' does not), so any program would load a planted one there.
const wchar_t* const kPlantedNames[] = {L"winhttp", L"gdiplus", L"msimg32", L"wintrust", L"crypt32", L"version"};
constexpr size_t kPlantedAtStart = 5;

// Copies of a DLL that leaves "<name>.loaded" when loaded, under the names above, in `folder`.
void PlantDlls(const std::wstring& folder, size_t count = std::size(kPlantedNames)) {
    for (size_t i = 0; i < count; ++i) {
        const wchar_t* name = kPlantedNames[i];
        ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_PLANTED_DLL").c_str(),
                                (folder + L"\\" + name + L".dll").c_str(), FALSE));
    }
}

std::vector<std::wstring> LoadedPlants(const std::wstring& folder) {
    std::vector<std::wstring> loaded;
    for (const wchar_t* name : kPlantedNames)
        if (PathExists(folder + L"\\" + name + L".loaded")) loaded.push_back(name);
    return loaded;
}

// Runs the planting probe from `folder` in a mode; its exit code.
DWORD RunProbe(const std::wstring& folder, const wchar_t* mode) {
    const std::wstring exe = folder + L"\\planting_probe.exe";
    ::CopyFileW(WinPathFromEnv(L"VEXO_PLANTING_PROBE").c_str(), exe.c_str(), FALSE);
    std::wstring commandLine = L"\"" + exe + L"\" " + mode;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi))
        return 99;
    const UniqueHandle process(pi.hProcess), thread(pi.hThread);
    ::WaitForSingleObject(process.get(), 30000);
    DWORD code = 98;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

class Installer {
public:
    explicit Installer(const std::wstring& name, bool withPayload = true, bool planted = false) {
        folder_ = FreshScratch(name);
        if (planted) PlantDlls(folder_, kPlantedAtStart);
        const std::wstring exe = folder_ + L"\\VexoInstaller.exe";
        ::CopyFileW(WinPathFromEnv(L"VEXO_INSTALLER").c_str(), exe.c_str(), FALSE);
        ::CopyFileW((WinPathFromEnv(L"VEXO_SKIN_DIR") + L"\\res.zip").c_str(), (folder_ + L"\\res.zip").c_str(), FALSE);
        if (withPayload) {
            ::CopyFileW((WinPathFromEnv(L"VEXO_SKIN_DIR") + L"\\platform.zip").c_str(),
                        (folder_ + L"\\platform.zip").c_str(), FALSE);
        }
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        std::wstring commandLine = L"\"" + exe + L"\"";
        if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder_.c_str(), &si,
                              &process_))
            return;
        // Its window, or a box it shows instead.
        for (int i = 0; i < 500 && window_ == nullptr && FindMessageBox(process_.dwProcessId) == nullptr; ++i) {
            ::Sleep(20);
            window_ = FindProcessWindow(process_.dwProcessId, L"MainFrame_Wnd");
        }
        ::Sleep(200);  // let it finish its first paint
    }
    ~Installer() {
        if (process_.hProcess == nullptr) return;
        if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(process_.hProcess, 99);
        ::CloseHandle(process_.hThread);
        ::CloseHandle(process_.hProcess);
    }
    HWND window() const { return window_; }
    DWORD pid() const { return process_.dwProcessId; }
    const std::wstring& folder() const { return folder_; }
    // The exit code once the process has ended, or STILL_ACTIVE.
    DWORD ExitCodeWithin(DWORD ms) const {
        ::WaitForSingleObject(process_.hProcess, ms);
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    std::wstring folder_;
    PROCESS_INFORMATION process_ = {};
    HWND window_ = nullptr;
};

// Ends every running process of that file name (the emulator the installer starts last) and
// says how many there were.
int EndProcessesNamed(const wchar_t* exeName) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int ended = 0;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (lstrcmpiW(entry.szExeFile, exeName) != 0) continue;
        UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (process && ::TerminateProcess(process.get(), 0)) {
            ::WaitForSingleObject(process.get(), 5000);
            ++ended;
        }
    }
    return ended;
}

}  // namespace

TEST(InstallerProcess, CloseConfirmedEndsTheProcessAtOnce) {
    Installer installer(L"close");
    ASSERT_NE(installer.window(), nullptr);
    BoxAnswerer answerer(installer.pid(), IDOK);
    PostClick(installer.window(), SkinCentre(L"BtnClose"));
    ASSERT_TRUE(answerer.Wait());
    EXPECT_EQ(answerer.seen().text, kExitConfirmText);
    EXPECT_EQ(installer.ExitCodeWithin(5000), 0u);
}

TEST(InstallerProcess, ErrorBoxIgnoresTheEndAndEndsOnOk) {
    Installer installer(L"error");
    ASSERT_NE(installer.window(), nullptr);
    ::PostMessageW(installer.window(), WM_DISK_SPACE_ERROR, 0, -1);
    for (int i = 0; i < 250 && FindMessageBox(installer.pid()) == nullptr; ++i) ::Sleep(20);
    ASSERT_NE(FindMessageBox(installer.pid()), nullptr);
    ::Sleep(200);
    EXPECT_TRUE(SaveWindowPng(installer.window(), ScreenshotPath(L"error-box.png")));
    // While the box is up, the end of the runner is ignored.
    ::PostMessageW(installer.window(), WM_INSTALL_DONE, 0, 0);
    EXPECT_EQ(installer.ExitCodeWithin(500), STILL_ACTIVE);
    BoxAnswerer answerer(installer.pid(), IDOK, 15000);
    ASSERT_TRUE(answerer.Wait(15000));
    EXPECT_EQ(answerer.seen().caption, kMessageCaption);
    EXPECT_EQ(answerer.seen().text, kDiskSpaceErrorText);
    EXPECT_FALSE(answerer.seen().hasCancel);
    EXPECT_EQ(installer.ExitCodeWithin(5000), 0u);
}

TEST(InstallerProcess, InstallDoneEndsTheProcessWithZero) {
    Installer installer(L"done");
    ASSERT_NE(installer.window(), nullptr);
    ::PostMessageW(installer.window(), WM_INSTALL_DONE, 0, 0);
    EXPECT_EQ(installer.ExitCodeWithin(5000), 0u);
}

TEST(InstallerProcess, InstallWithTheDefaultFolderExtractsThePayloadAndEnds) {
    ASSERT_TRUE(MarkFrameworkPresent());
    // The runtime package runs from a folder of the installer's own, which goes: it notes here how it ran.
    const std::wstring records = FreshScratch(L"install-records");
    ASSERT_TRUE(::SetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", records.c_str()));
    Installer installer(L"install");
    ASSERT_NE(installer.window(), nullptr);
    wchar_t programFiles[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE);
    const std::wstring target = std::wstring(programFiles) + L"\\" + kProductFolderName;
    PostClick(installer.window(), SkinCentre(L"BtnInstall"));
    EXPECT_EQ(installer.ExitCodeWithin(30000), 0u);
    EXPECT_TRUE(PathExists(target + L"\\ZavozidaDedor.exe"));
    // The runtime package ran quietly, not from the install folder, and the emulator was started.
    std::string vcLine;
    EXPECT_TRUE(ReadWholeFile(records + L"\\vc-cmdline.txt", &vcLine));
    EXPECT_EQ(vcLine.find(Utf8(target)), std::string::npos) << vcLine;
    EXPECT_NE(vcLine.find("/q /c:\"msiexec /i vcredist.msi /qn /l*v %temp%\\vcredist_x86.log\""), std::string::npos)
        << vcLine;
    int emulators = 0;
    for (int i = 0; i < 100 && (emulators = EndProcessesNamed(L"ZavozidaDedor.exe")) == 0; ++i) ::Sleep(50);
    EXPECT_EQ(emulators, 1) << "the emulator was not started";
    std::string log;
    ASSERT_TRUE(ReadWholeFile(installer.folder() + L"\\tmp.log", &log));
    EXPECT_NE(log.find("[ERROR] Task Manager start ["), std::string::npos) << log;
}

// The installer runs elevated from folders anyone may drop a DLL into (Downloads): no DLL planted
// beside it is loaded, neither for its imports nor when it takes one at run time.
TEST(InstallerProcess, PlantedDllsBesideItAreNeverLoaded) {
    {
        Installer installer(L"planted", true, true);
        ASSERT_NE(installer.window(), nullptr);
        EXPECT_EQ(LoadedPlants(installer.folder()), std::vector<std::wstring>{});
    }
    // Each DLL it takes at run time, planted alone (Wine's own copies load their dependencies by
    // name, beside the program, where Windows takes them from the system folder).
    const std::wstring folder = FreshScratch(L"planted-one");
    for (const wchar_t* name : {L"version", L"winhttp", L"gdiplus", L"wintrust", L"crypt32"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_PLANTED_DLL").c_str(),
                                (folder + L"\\" + name + L".dll").c_str(), FALSE));
        EXPECT_EQ(RunProbe(folder, (std::wstring(L"system ") + name).c_str()), 0u);
        EXPECT_EQ(LoadedPlants(folder), std::vector<std::wstring>{});
        ::DeleteFileW((folder + L"\\" + name + L".dll").c_str());
    }
    // A plain search would have taken the planted copy: the markers do show a load.
    PlantDlls(folder);
    EXPECT_EQ(RunProbe(folder, L"by-name"), 0u);
    EXPECT_EQ(LoadedPlants(folder), std::vector<std::wstring>{L"version"});
}

// Without a payload nothing of an earlier installation is touched; an empty folder does not stay.
TEST(InstallerProcess, MissingPayloadShowsTheDiskSpaceErrorAndTouchesNothing) {
    ASSERT_TRUE(MarkFrameworkPresent());
    wchar_t programFiles[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE);
    const std::wstring target = std::wstring(programFiles) + L"\\" + kProductFolderName;
    RemoveTree(target);
    Installer installer(L"nopayload", false);
    ASSERT_NE(installer.window(), nullptr);
    BoxAnswerer answerer(installer.pid(), IDOK, 30000);
    PostClick(installer.window(), SkinCentre(L"BtnInstall"));
    ASSERT_TRUE(answerer.Wait(30000));
    EXPECT_EQ(answerer.seen().text, kDiskSpaceErrorText);
    EXPECT_EQ(installer.ExitCodeWithin(5000), 0u);
    EXPECT_FALSE(PathExists(target));
}

// Whatever holds the installer's mutex without a window (a silent installer, any other program):
// a second installer says so in a box and ends with 0, touching nothing.
TEST(InstallerProcess, MutexHeldWithoutAWindowIsSaidInABox) {
    wchar_t programFiles[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE);
    const std::wstring target = std::wstring(programFiles) + L"\\" + kProductFolderName;
    RemoveTree(target);
    const UniqueHandle held(::CreateMutexW(nullptr, FALSE, kInstallerMutexName));
    ASSERT_TRUE(held);
    Installer installer(L"held");
    EXPECT_EQ(installer.window(), nullptr);
    BoxAnswerer answerer(installer.pid(), IDOK);
    ASSERT_TRUE(answerer.Wait());
    EXPECT_EQ(answerer.seen().caption, kMessageCaption);
    EXPECT_EQ(answerer.seen().text, kAnotherInstallerRunningText);
    EXPECT_EQ(installer.ExitCodeWithin(5000), 0u);
    EXPECT_FALSE(PathExists(target));
    EXPECT_FALSE(PathExists(installer.folder() + L"\\tmp.log"));
}
