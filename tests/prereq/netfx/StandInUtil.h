#pragma once
// Small helpers of the stand-in programs the .NET tests run in place of real ones.

#include <windows.h>
// after windows.h, which it needs
#include <winver.h>

#include <cstdio>
#include <string>

// A path handed over by a test script, in Windows form: Unix paths become "Z:\...".
inline std::wstring WindowsPath(const char* path) {
    std::wstring result;
    if (path[0] == '/') result = L"Z:";
    for (const char* p = path; *p != '\0'; ++p) result += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return result;
}

inline std::string Utf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

inline void AppendLine(const std::wstring& file, const std::wstring& line) {
    if (FILE* f = _wfopen(file.c_str(), L"ab")) {
        const std::string bytes = Utf8(line) + "\n";
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

inline std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// Where a stand-in the installer starts notes how it ran: the folder VEXO_STANDIN_RECORDS names
// (the installer runs it from a folder of its own, which it removes), else beside itself.
inline std::wstring RecordFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", folder, MAX_PATH);
    if (n > 0 && n < MAX_PATH) return folder;
    const std::wstring own = OwnPath();
    return own.substr(0, own.find_last_of(L'\\'));
}

inline std::wstring OwnName() {
    const std::wstring own = OwnPath();
    return own.substr(own.find_last_of(L'\\') + 1);
}

// As the real installers do: DLLs that are not known system DLLs, one imported (version.dll),
// one loaded by name while running. Wherever Windows looks for them first, a planted copy would run.
inline void LoadDllsByName() {
    DWORD ignored = 0;
    ::GetFileVersionInfoSizeW(OwnPath().c_str(), &ignored);
    ::LoadLibraryW(L"dwmapi.dll");
}
