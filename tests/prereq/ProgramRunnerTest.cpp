// Starting other programs: RunProgram with a helper that writes known output, and the runtime
// task with the sample payload's runtime package and emulator stand-ins.
#include <gtest/gtest.h>
#include <windows.h>
#include <exdisp.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "WindowDriver.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "prereq/ProgramRunner.h"
#include "prereq/RunFolder.h"
#include "prereq/RunVCTask.h"
#include "tasks/InstallMessages.h"

namespace {

// These calls wait without a time limit: one that has not returned within a minute has hung,
// and the test program ends there rather than hang the whole run.
template <typename Call>
void MustReturn(const char* what, Call call) {
    UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread worker([&] {
        call();
        ::SetEvent(done.get());
    });
    if (::WaitForSingleObject(done.get(), 60000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "FAILED: %s did not return%s\n", what,
                     FindMessageBox(::GetCurrentProcessId()) != nullptr ? " (a message box is up)" : "");
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    worker.join();
}

std::wstring Output(const std::wstring& program, const std::wstring& arguments = L"") {
    std::wstring text = L"<unset>";
    MustReturn("RunProgram", [&] { text = RunProgram(program, L"\"" + program + L"\"" + arguments); });
    return text;
}

TEST(RunProgram, ReturnsAllItsOutputAsWideTextAndLogsOnlyAFailedStart) {
    const std::wstring folder = FreshScratch(L"runner"), log = folder + L"\\tmp.log";
    ASSERT_NE(InitLogAt(log), nullptr);
    const std::wstring writer = folder + L"\\output_writer.exe";
    ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_OUTPUT_WRITER").c_str(), writer.c_str(), FALSE));

    // Both streams, one read's worth, and far more than the pipe holds.
    const std::pair<int, int> cases[] = {{0, 0}, {1024, 0}, {1000, 24}, {0, 1025}, {256 * 1024, 3}};
    for (const auto& sizes : cases) {
        std::wstring expected;
        for (int i = 0; i < sizes.first; ++i) expected += static_cast<wchar_t>('a' + i % 26);
        for (int i = 0; i < sizes.second; ++i) expected += static_cast<wchar_t>('A' + i % 26);
        const std::wstring text =
            Output(writer, L" " + std::to_wstring(sizes.first) + L" " + std::to_wstring(sizes.second));
        EXPECT_TRUE(text == expected) << sizes.first << "+" << sizes.second << ": " << text.size() << " characters";
    }
    // Text in this system's ANSI code page, beyond ASCII.
    const wchar_t* ansi = L"Vexo café ü";
    char bytes[32] = "";
    BOOL lossy = FALSE;
    if (::WideCharToMultiByte(CP_ACP, 0, ansi, -1, bytes, sizeof bytes, nullptr, &lossy) > 0 && !lossy) {
        std::wstring arguments = L" 0 0 ";
        for (const unsigned char b : std::string(bytes)) {
            wchar_t pair[3];
            swprintf(pair, 3, L"%02x", b);
            arguments += pair;
        }
        EXPECT_EQ(Output(writer, arguments), ansi) << "code page " << ::GetACP();
    } else {
        ADD_FAILURE() << "code page " << ::GetACP() << " cannot hold the test text";
    }

    std::string logged;
    ReadWholeFile(log, &logged);
    EXPECT_NE(logged.find("RunProgram path " + ToUserAnsi(writer, MAX_PATH) + " and args \""), std::string::npos);
    EXPECT_EQ(logged.find("create process failed"), std::string::npos) << logged;

    // Missing, and not a program at all.
    EXPECT_EQ(Output(writer + L".missing.exe"), L"");
    const std::wstring text = folder + L"\\text.exe";
    ::CopyFileW(log.c_str(), text.c_str(), FALSE);
    EXPECT_EQ(Output(text), L"");
    ReadWholeFile(log, &logged);
    EXPECT_NE(logged.find("create process failed 2 ["), std::string::npos) << logged;
    EXPECT_NE(logged.find("create process failed 193 ["), std::string::npos) << logged;
}

// Emulators this test started, itself or through the desktop's shell, that are still running.
std::vector<DWORD> OurEmulators(bool throughTheShell = true) {
    DWORD shell = 0;
    ::GetWindowThreadProcessId(::GetDesktopWindow(), &shell);
    std::vector<DWORD> found;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        if ((entry.th32ParentProcessID == (throughTheShell ? shell : ::GetCurrentProcessId())) &&
            lstrcmpiW(entry.szExeFile, L"ZavozidaDedor.exe") == 0)
            found.push_back(entry.th32ProcessID);
    return found;
}

// Wine starts the desktop's shell for the first program that asks for the desktop window, and the
// shell registers its windows a moment later: a run whose first test this is may come before that.
bool DesktopShellUp() {
    ::GetDesktopWindow();
    const ComScope com;
    for (int tries = 0; tries < 100; ++tries, ::Sleep(100)) {
        ComPtr<IShellWindows> windows;
        if (SUCCEEDED(::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                         windows.out())))
            return true;
    }
    return false;
}

// Runs the task for the folder, the package's digest handed on as an extraction would; the progress
// it posted.
std::vector<WPARAM> RunTask(const std::wstring& folder, const std::string& runtime = Sha256OfFile(WinPathFromEnv(L"VEXO_VC")),
                            bool emulator = true) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    RunVCTask task(window);
    task.SetInstallPath(folder);
    task.runtimePackageSha256 = runtime;
    task.startsEmulator = emulator;
    MustReturn("RunVCTask::Run", [&] { task.Run(); });
    std::vector<WPARAM> progress;
    for (MSG msg; ::PeekMessageW(&msg, window, 0, 0, PM_REMOVE);)
        progress.push_back(msg.message == WM_INSTALL_PROGRESS && msg.lParam == -1 ? msg.wParam : msg.message);
    ::DestroyWindow(window);
    return progress;
}

// Run from a new folder only administrators may write (the install folder may be the user's), as
// its current folder, with the same parameters; the folder is gone once it has run.
TEST(RunVCTask, RuntimePackageWaitedForOnEveryInstallThenTheEmulatorLeftRunning) {
    ASSERT_TRUE(DesktopShellUp()) << "no desktop shell to hand the emulator to";
    // A folder with a blank: the shell gets paths, not command lines. ASCII, so the record, which
    // is UTF-8, compares byte for byte.
    const std::wstring folder = FreshScratch(L"vc") + L"\\Vexo kavix", software = folder + L"\\assets\\software";
    for (const std::wstring& f : {folder, folder + L"\\assets", software}) ::CreateDirectoryW(f.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_VC").c_str(), (software + L"\\vc.exe").c_str(), FALSE));
    ASSERT_TRUE(
        ::CopyFileW(WinPathFromEnv(L"VEXO_EMULATOR").c_str(), (folder + L"\\ZavozidaDedor.exe").c_str(), FALSE));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", software.c_str()));
    const std::string parameters = " " + Utf8(kRuntimeParameters) + "\r\n";
    const std::string ours = Utf8(RunFolderParent()) + "kavix-run-";
    const std::wstring log = FreshScratch(L"vc-log") + L"\\tmp.log";
    ASSERT_NE(InitLogAt(log), nullptr);

    for (size_t run = 1; run <= 2; ++run) {
        EXPECT_EQ(RunTask(folder), (std::vector<WPARAM>{90, 98}));
        // Recorded by the time Run returns: the package was waited for.
        std::string record, current;
        EXPECT_TRUE(ReadWholeFile(software + L"\\vc-cmdline.txt", &record));
        EXPECT_TRUE(ReadWholeFile(software + L"\\vc-folder.txt", &current));
        EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), static_cast<long>(run)) << record;
        const std::string line = record.substr(record.rfind('\n', record.size() - 2) + 1);
        const std::string ranIn = current.substr(current.rfind('\n', current.size() - 2) + 1);
        const std::string runFolder = ranIn.substr(0, ranIn.size() - 2);
        EXPECT_EQ(runFolder.compare(0, ours.size(), ours), 0) << runFolder;
        EXPECT_EQ(line, "\"" + runFolder + "\\vc.exe\"" + parameters);
        EXPECT_FALSE(PathExists(std::wstring(runFolder.begin(), runFolder.end())));
        // Started, and still running once Run has returned: it runs until closed.
        std::vector<DWORD> running;
        for (int i = 0; i < 100 && (running = OurEmulators()).size() < run; ++i) ::Sleep(50);
        EXPECT_EQ(running.size(), run);
    }
    // This process is elevated (Wine's always are): the desktop's shell started it, as the user.
    EXPECT_TRUE(OurEmulators(false).empty());
    std::string logged;
    ReadWholeFile(log, &logged);
    EXPECT_NE(logged.find(Utf8(folder) + "\\ZavozidaDedor.exe started as the desktop's user"), std::string::npos)
        << logged;
    // Whichever way they started: one left running keeps the Wine session, and the test, from ending.
    for (const bool throughTheShell : {true, false})
        for (const DWORD pid : OurEmulators(throughTheShell)) {
            UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
            if (::TerminateProcess(process.get(), 0)) ::WaitForSingleObject(process.get(), 5000);
        }
    EXPECT_TRUE(OurEmulators().empty());
}

// The package in the install folder, which may be the user's, can be replaced after the
// extraction: only the payload's own runs with administrator rights.
TEST(RunVCTask, OnlyThePayloadsRuntimePackageRuns) {
    const std::wstring folder = FreshScratch(L"vc-replaced"), software = folder + L"\\assets\\software";
    for (const std::wstring& f : {folder + L"\\assets", software}) ::CreateDirectoryW(f.c_str(), nullptr);
    const std::wstring package = software + L"\\vc.exe";
    ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_VC").c_str(), package.c_str(), FALSE));
    ASSERT_TRUE(::SetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", software.c_str()));
    const std::wstring log = folder + L"\\tmp.log";
    ASSERT_NE(InitLogAt(log), nullptr);
    const std::string payloads = Sha256OfFile(WinPathFromEnv(L"VEXO_VC"));

    // The payload had none: whatever is there is not ours.
    EXPECT_EQ(RunTask(folder, "", false), (std::vector<WPARAM>{90, 98}));
    // Replaced by a program that still runs (trailing bytes do not stop a PE image).
    {
        const UniqueFile file(::CreateFileW(package.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(file && ::WriteFile(file.get(), "planted", 7, &written, nullptr));
    }
    EXPECT_EQ(RunTask(folder, payloads, false), (std::vector<WPARAM>{90, 98}));

    EXPECT_FALSE(PathExists(software + L"\\vc-cmdline.txt")) << "a package not the payload's ran";
    std::string logged;
    ReadWholeFile(log, &logged);
    EXPECT_NE(logged.find(Utf8(package) + " is not in the payload: not run"), std::string::npos) << logged;
    EXPECT_NE(logged.find(Utf8(package) + " is not the one extracted: SHA-256 " + Sha256OfFile(package) + ", extracted " +
                          payloads + "; not run"),
              std::string::npos)
        << logged;
}

// A missing emulator is not handed to the desktop's shell, which would say so in a box of its own;
// the log says it did not start.
TEST(RunVCTask, MissingProgramsAreSkippedWithoutABox) {
    const std::wstring folder = FreshScratch(L"vc-missing"), log = folder + L"\\tmp.log";
    ASSERT_NE(InitLogAt(log), nullptr);
    EXPECT_EQ(RunTask(folder), (std::vector<WPARAM>{90, 98}));
    EXPECT_TRUE(OurEmulators().empty());
    std::string logged;
    ReadWholeFile(log, &logged);
    EXPECT_NE(logged.find("ShellExecuteExW failed for " + Utf8(folder) + "\\ZavozidaDedor.exe, error "), std::string::npos)
        << logged;
    EXPECT_EQ(logged.find("started by this process"), std::string::npos) << logged;
}

}  // namespace
