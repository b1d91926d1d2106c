// The installer's own faults, raised in the real installer from outside: a thread started in it
// at an address that is no code, or at code that only pushes until the stack runs out.

#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "StatsRecords.h"
#include "TestFiles.h"
#include "WindowDriver.h"
#include "app/CommandLine.h"
#include "base/Owners.h"
#include "ui/WindowTexts.h"

namespace {

const wchar_t kTarget[] = L"C:\\Vexo Crash\\kavix";
// An earlier installation in the target, which the fault must leave as it was.
const struct {
    const wchar_t* name;
    const char* content;
} kEarlierFiles[] = {{L"\\ZavozidaDedor.exe", "earlier emulator"}, {L"\\assets\\note.txt", "earlier note"}};

void WriteText(const std::wstring& path, const std::string& text) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

// The running module's base in another process: its first module is its executable.
uintptr_t ImageBase(DWORD pid) {
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
    MODULEENTRY32W module = {};
    module.dwSize = sizeof module;
    return snapshot && ::Module32FirstW(snapshot.get(), &module) ? reinterpret_cast<uintptr_t>(module.modBaseAddr) : 0;
}

// The lines of a log that hold `text`.
std::vector<std::string> LinesWith(const std::wstring& path, const std::string& text) {
    std::string log;
    ReadWholeFile(path, &log);
    std::vector<std::string> found;
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = log.substr(start, end - start);
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

enum class Fault { NotCode, StackOverflow };

// Ends the installer when a failed check leaves it running.
struct EndIfRunning {
    HANDLE process;
    ~EndIfRunning() {
        if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) ::TerminateProcess(process, 99);
    }
};

}  // namespace

TEST(CrashHandler, AFaultIsRecordedReportedAndEndsTheInstaller) {
    const struct {
        const char* name;
        bool silent;
        Fault fault;
        const char* code;
    } rows[] = {
        {"silent-not-code", true, Fault::NotCode, "C0000005"},
        {"silent-stack-overflow", true, Fault::StackOverflow, "C00000FD"},
        {"window-not-code", false, Fault::NotCode, "C0000005"},
    };
    // The runner heads straight for the earlier installation.
    ASSERT_TRUE(MarkFrameworkPresent());
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::wstring name(row.name, row.name + strlen(row.name));
        const std::wstring stage = FreshScratch(name), exe = stage + L"\\VexoInstaller.exe";
        const std::string marker = "crash-test-" + std::string(row.name) + "-" + std::to_string(::GetTickCount());
        ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_INSTALLER").c_str(), exe.c_str(), FALSE));
        for (const wchar_t* file : {L"\\res.zip", L"\\platform.zip"})
            ASSERT_TRUE(::CopyFileW((WinPathFromEnv(L"VEXO_SKIN_DIR") + file).c_str(), (stage + file).c_str(), FALSE));
        WriteText(stage + L"\\installer.ini", "[Platform]\r\nbuild=" + marker + "\r\nversion=1.0.6.30\r\n");
        RemoveTree(kTarget);
        ::CreateDirectoryW(L"C:\\Vexo Crash", nullptr);
        ::CreateDirectoryW(kTarget, nullptr);
        ::CreateDirectoryW((std::wstring(kTarget) + L"\\assets").c_str(), nullptr);
        for (const auto& file : kEarlierFiles) WriteText(kTarget + std::wstring(file.name), file.content);

        std::wstring commandLine = L"\"" + exe + L"\"" + (row.silent ? L" /S /D=" + std::wstring(kTarget) : L"");
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        ASSERT_TRUE(::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, stage.c_str(),
                                     &startup, &started));
        const UniqueHandle process(started.hProcess), mainThread(started.hThread);
        const EndIfRunning ender{process.get()};
        // Silent, the runner is on its way; in a window, the window is up.
        const auto running = [&] {
            return row.silent ? !LinesWith(stage + L"\\tmp.log", "Task Manager start").empty()
                              : FindProcessWindow(started.dwProcessId, L"MainFrame_Wnd") != nullptr;
        };
        for (int i = 0; i < 2000 && !running() && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT; ++i)
            ::Sleep(5);
        ASSERT_TRUE(running());

        uintptr_t start = ImageBase(started.dwProcessId) + 0x40;  // in the headers: readable, never run
        std::string where;
        if (row.fault == Fault::StackOverflow) {
            // push eax; jmp back to it.
            const unsigned char pushForever[] = {0x50, 0xEB, 0xFD};
            void* page =
                ::VirtualAllocEx(process.get(), nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
            ASSERT_NE(page, nullptr);
            ASSERT_TRUE(::WriteProcessMemory(process.get(), page, pushForever, sizeof pushForever, nullptr));
            start = reinterpret_cast<uintptr_t>(page);
            char text[48];
            snprintf(text, sizeof text, "0x%08lX (in no module)", static_cast<unsigned long>(start));
            where = text;
        } else {
            ASSERT_GT(start, 0x40u);
            where = Utf8(exe) + "+0x00000040";
        }
        std::unique_ptr<BoxAnswerer> answerer;
        if (!row.silent) answerer = std::make_unique<BoxAnswerer>(started.dwProcessId, IDOK, 30000);
        const UniqueHandle faulting(::CreateRemoteThread(process.get(), nullptr, 64 * 1024,
                                                         reinterpret_cast<LPTHREAD_START_ROUTINE>(start), nullptr,
                                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        ASSERT_TRUE(faulting);
        if (answerer) {
            ASSERT_TRUE(answerer->Wait(30000));
            EXPECT_EQ(answerer->seen().caption, kMessageCaption);
            EXPECT_EQ(answerer->seen().text, kInstallerFailedText);
        }
        ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
        DWORD exitCode = STILL_ACTIVE;
        ::GetExitCodeProcess(process.get(), &exitCode);
        EXPECT_EQ(exitCode, row.silent ? static_cast<DWORD>(kSilentCrashed) : 0u);

        // Silent, the runner was on its way to the earlier installation: it was stopped first.
        if (row.silent) {
            for (const auto& file : kEarlierFiles) {
                std::string content;
                EXPECT_TRUE(ReadWholeFile(kTarget + std::wstring(file.name), &content));
                EXPECT_EQ(content, file.content);
            }
        }

        // One dump of this process in the temp folder, named in the one line the log has of it.
        const std::wstring pattern =
            std::wstring(temp) + L"kavix-installer-" + std::to_wstring(started.dwProcessId) + L"-*.dmp";
        WIN32_FIND_DATAW found = {};
        const UniqueFind dumps(::FindFirstFileW(pattern.c_str(), &found));
        ASSERT_TRUE(dumps);
        const std::wstring dump = temp + std::wstring(found.cFileName);
        EXPECT_FALSE(::FindNextFileW(dumps.get(), &found));
        std::string bytes;
        EXPECT_TRUE(ReadWholeFile(dump, &bytes));
        EXPECT_EQ(bytes.substr(0, 4), "MDMP");
        ::DeleteFileW(dump.c_str());
        const auto lines = LinesWith(stage + L"\\tmp.log", "unhandled exception");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].substr(0, lines[0].rfind(" [")),
                  "[ERROR] unhandled exception " + std::string(row.code) + " at " + where + ", dump " + Utf8(dump));

        std::vector<std::string> errors;
        for (const auto& request : RecordedRequestsWith(marker))
            if (request.body.find("\"action\":\"install_err\"") != std::string::npos) errors.push_back(request.body);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find("\"action\":\"install_err\",\"a1\":\"crash\",\"a2\":\"" + std::string(row.code) +
                                 "\",\"a3\":\"\","),
                  std::string::npos)
            << errors[0];
    }
    RemoveTree(L"C:\\Vexo Crash");
}
