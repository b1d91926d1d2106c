#include "prereq/ProgramRunner.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "base/Log.h"
#include "base/Owners.h"
#include "base/Text.h"

std::wstring RunProgram(const std::wstring& application, const std::wstring& commandLine, const std::wstring& folder) {
    LogFormatW(g_log, L"RunProgram path %s and args %s", application.c_str(), commandLine.c_str());

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.out(), writeEnd.out(), &inherit, 0)) return {};
    // Only the child may inherit the write end; our read end stays ours.
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    ::GetStartupInfoW(&startup);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;

    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
        LogFormatW(g_log, L"create process failed %d", static_cast<int>(::GetLastError()));
        return {};
    }
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    // Without our copy of the write end, the read fails once the program (and anything it
    // handed the pipe to) has ended.
    writeEnd.reset();

    // Drained while the program runs, so output beyond the pipe's capacity cannot block it.
    std::string output;
    char chunk[1024];
    DWORD got = 0;
    while (::ReadFile(readEnd.get(), chunk, sizeof chunk, &got, nullptr)) output.append(chunk, got);
    ::WaitForSingleObject(processHandle.get(), INFINITE);

    return ToWide(output, CP_THREAD_ACP);
}

bool ShellRun(const std::wstring& file, const wchar_t* parameters, const std::wstring& folder, bool wait) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // No error box: a file that cannot be started must not stop the runner thread on a dialog
    // nobody expects during a quiet install.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file.c_str();
    info.lpParameters = parameters;
    info.lpDirectory = folder.c_str();
    info.nShow = SW_HIDE;
    if (!::ShellExecuteExW(&info)) {
        LogCallFailed("ShellExecuteExW", file, ::GetLastError());
        return false;
    }
    UniqueHandle process(info.hProcess);
    if (wait && process) ::WaitForSingleObject(process.get(), INFINITE);
    return true;
}
