// Stand-in for the runtime package the installer runs and waits for: it appends its whole command
// line (UTF-8, one line) to vc-cmdline.txt, so a test can see how it was started, and its current
// folder to vc-folder.txt. Both go into the folder VEXO_STANDIN_RECORDS names (the installer runs
// the package from a folder of its own, which it removes), else into its own folder. Like the real
// package it loads DLLs that are not known system DLLs by name (version.dll, dwmapi.dll), so a copy
// planted where Windows looks first would run; loaded, not imported, as the sample payload's
// programs import only known DLLs.

#include <windows.h>

#include <string>
#include <vector>

#include "base/Owners.h"

namespace {

std::wstring OwnFolder() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return L"";
        if (n < path.size()) break;
        if (path.size() >= 32768) return L"";
        path.resize(path.size() * 2);
    }
    std::wstring folder(path.data());
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

std::wstring RecordFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", folder, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(folder) : OwnFolder();
}

std::string Utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr) != n) return std::string();
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

// Appending, so a test sees every run (the installer runs the package on each installation).
bool AppendLine(const std::wstring& path, const wchar_t* text) {
    const std::string line = Utf8(text) + "\r\n";
    UniqueFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return ok && written == line.size();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring own = OwnFolder();
    const std::wstring folder = RecordFolder();
    if (own.empty() || folder.empty()) return 1;
    for (const wchar_t* dll : {L"version.dll", L"dwmapi.dll"}) LoadLibraryW(dll);
    wchar_t current[MAX_PATH] = {};
    const DWORD n = GetCurrentDirectoryW(MAX_PATH, current);
    if (n == 0 || n >= MAX_PATH) return 1;
    return AppendLine(folder + L"\\vc-cmdline.txt", GetCommandLineW()) &&
                   AppendLine(folder + L"\\vc-folder.txt", current)
               ? 0
               : 1;
}
