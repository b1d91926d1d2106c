// The sample payload's programs under Wine: the emulator stand-in carries the configured product
// version and runs as a window until closed; the runtime stand-in records how it was started; the
// uninstaller asks before it removes anything (its silent runs: tests/app/full-install).

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "WindowDriver.h"
#include "base/Owners.h"
#include "base/Product.h"

namespace {

const std::wstring kTitle = L"Vexo\u6A21\u62DF\u5668";

std::wstring PayloadFile(const wchar_t* relative) { return WinPathFromEnv(L"VEXO_PAYLOAD_TREE") + L"\\" + relative; }

// Starts a program; the process handle, or an empty one.
UniqueHandle Start(const std::wstring& exe, std::wstring commandLine, const std::wstring& folder) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi))
        return UniqueHandle();
    CloseHandle(pi.hThread);
    return UniqueHandle(pi.hProcess);
}

DWORD WaitExit(const UniqueHandle& process) {
    if (WaitForSingleObject(process.get(), 15000) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

std::vector<std::wstring> FolderNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (!find) return names;
    do {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0) names.push_back(fd.cFileName);
    } while (FindNextFileW(find.get(), &fd));
    return names;
}

TEST(PayloadTest, EmulatorCarriesTheBuildVersionAndRunsUntilClosed) {
    const std::wstring folder = FreshScratch(L"emulator");
    const std::wstring exe = folder + L"\\ZavozidaDedor.exe";
    ASSERT_TRUE(CopyFileW(PayloadFile(L"ZavozidaDedor.exe").c_str(), exe.c_str(), FALSE));

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_NE(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_NE(length, 0u);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    wchar_t version[64];
    swprintf(version, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
             HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    wchar_t expected[64] = L"";
    GetEnvironmentVariableW(L"VEXO_PAYLOAD_VERSION", expected, 64);
    EXPECT_EQ(std::wstring(version), std::wstring(expected));

    UniqueHandle process = Start(exe, L"\"" + exe + L"\"", folder);
    ASSERT_TRUE(process);
    const DWORD pid = GetProcessId(process.get());
    HWND window = nullptr;
    EXPECT_TRUE(PumpUntil([&] { return (window = FindProcessWindow(pid, L"VexoEmulatorWindow")) != nullptr; }, 15000));
    if (window != nullptr) {
        wchar_t title[64] = L"";
        GetWindowTextW(window, title, 64);
        EXPECT_EQ(std::wstring(title), kTitle);
        // Still running a moment later: it waits for the user, not for a timer.
        EXPECT_EQ(WaitForSingleObject(process.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
        PostMessageW(window, WM_CLOSE, 0, 0);
    } else {
        TerminateProcess(process.get(), 1);
    }
    EXPECT_EQ(WaitExit(process), 0u);
    EXPECT_EQ(FolderNames(folder), std::vector<std::wstring>{L"ZavozidaDedor.exe"});
}

TEST(PayloadTest, RuntimePackageRecordsEachCommandLine) {
    // An install folder with a blank and Chinese characters, as users choose them.
    const std::wstring root = FreshScratch(L"vc");
    const std::wstring folder = root + L"\\Vexo " + kTitle.substr(4) + L"\\assets\\software";
    ASSERT_TRUE(CreateDirectoryW((root + L"\\Vexo " + kTitle.substr(4)).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root + L"\\Vexo " + kTitle.substr(4) + L"\\assets").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring exe = folder + L"\\vc.exe";
    ASSERT_TRUE(CopyFileW(PayloadFile(L"assets\\software\\vc.exe").c_str(), exe.c_str(), FALSE));

    const std::wstring commandLine =
        L"\"" + exe + L"\" /q /c:\"msiexec /i vcredist.msi /qn /l*v %temp%\\vcredist_x86.log\"";
    for (int run = 0; run < 2; ++run) {
        UniqueHandle process = Start(exe, commandLine, root);
        ASSERT_TRUE(process);
        EXPECT_EQ(WaitExit(process), 0u);
    }
    std::string recorded;
    ASSERT_TRUE(ReadWholeFile(folder + L"\\vc-cmdline.txt", &recorded));
    const std::string line = Utf8(commandLine) + "\r\n";
    EXPECT_EQ(recorded, line + line);
}

bool WriteText(const std::wstring& path, const std::string& text) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// The process `parent` started, or 0.
DWORD StartedBy(DWORD parent) {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (entry.th32ParentProcessID == parent) return entry.th32ProcessID;
    return 0;
}

// Declined, nothing changes; confirmed, the uninstaller ends at once, and its copy, once that has
// ended, takes the product's folder and ends with a box of its own that says how it went. Started
// as the shell starts a registered command line: verbatim, so unquoted with the folder's blanks.
// A program of the folder still running is moved aside and deleted at the next restart where a
// folder only administrators can change can take it; else (under Wine always: every file there is
// the user's) it is left where it is, not deleted at the restart, and the box says so.
TEST(PayloadTest, UninstallerInAWindowAsksFirstAndTellsHowItWent) {
    const bool atRestart = RestartDeletionsInCommonAppData();
    const struct {
        const char* label;
        int answer;
        bool quoted;
        bool helperRunning;   // a program of the folder, all along
        const wchar_t* said;  // the copy's last box, or its start; null: no copy
    } cases[] = {
        {"declined", IDCANCEL, true, false, nullptr},
        {"quoted", IDOK, true, false, kUninstallDoneText},
        {"unquoted", IDOK, false, false, kUninstallDoneText},
        {"a program running", IDOK, false, true, atRestart ? kUninstallAtRestartText : kUninstallLeftText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring apps = FreshScratch(L"uninstall") + L"\\Vexo Apps";
        const std::wstring folder = apps + L"\\" + kProductFolderName;
        ASSERT_TRUE(CreateDirectoryW(apps.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        const std::wstring exe = folder + kUninstallerFile;
        ASSERT_TRUE(CopyFileW(PayloadFile(L"Uninstaller.exe").c_str(), exe.c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(PayloadFile(L"readme.txt").c_str(), (folder + L"\\readme.txt").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(PayloadFile(L"ZavozidaDedor.exe").c_str(), (folder + L"\\helper.exe").c_str(), FALSE));
        // As the installer lists them: a program in use is moved out and deleted at the next restart.
        const std::string list =
            std::string(kInstallListHeader) + "\r\nUninstaller.exe\r\nreadme.txt\r\nhelper.exe\r\n";
        ASSERT_TRUE(WriteText(folder + kInstallListFile, list));
        const std::vector<std::wstring> installed = FolderNames(folder);
        UniqueHandle helper;
        if (c.helperRunning) {
            helper = Start(folder + L"\\helper.exe", L"helper", apps);
            ASSERT_TRUE(helper);
        }

        const DWORD pendingBefore = PendingAtRestartBytes();
        UniqueHandle process = Start(exe, c.quoted ? L"\"" + exe + L"\"" : exe, folder);
        ASSERT_TRUE(process);
        const DWORD pid = GetProcessId(process.get());
        BoxAnswerer question(pid, c.answer, 15000);
        ASSERT_TRUE(question.Wait(15000)) << "no question";
        EXPECT_EQ(question.seen().caption, kUninstallerDisplayName);
        EXPECT_EQ(question.seen().text, kUninstallConfirmText);
        EXPECT_EQ(WaitExit(process), c.said != nullptr ? 0u : 2u);
        if (c.said == nullptr) {
            EXPECT_EQ(FolderNames(folder), installed);
            continue;
        }
        UniqueHandle copy(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, StartedBy(pid)));
        ASSERT_TRUE(copy) << "no copy";
        BoxAnswerer closing(GetProcessId(copy.get()), IDOK, 30000);
        ASSERT_TRUE(closing.Wait(30000)) << "no last box";
        EXPECT_EQ(closing.seen().caption, kUninstallerDisplayName);
        const bool left = c.said == std::wstring(kUninstallLeftText);
        EXPECT_EQ(closing.seen().text.substr(0, wcslen(c.said)), c.said);
        EXPECT_EQ(WaitExit(copy), left ? 1u : 0u);
        if (left) {
            // Not scheduled: the folder's way is one others can change by then.
            EXPECT_EQ(PendingAtRestartBytes(), pendingBefore);
            EXPECT_EQ(FolderNames(folder), std::vector<std::wstring>{L"helper.exe"});
            std::string log;
            ReadWholeFile(closing.seen().text.substr(wcslen(c.said)), &log);
            EXPECT_NE(log.find("left in place, not deleted at restart: " + Utf8(folder) + "\\helper.exe"),
                      std::string::npos);
        } else {
            EXPECT_FALSE(PathExists(folder));
        }
        if (helper) TerminateProcess(helper.get(), 0);
    }
}

}  // namespace
