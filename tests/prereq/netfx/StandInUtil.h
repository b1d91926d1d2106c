#pragma once
// Small helpers of the stand-in programs the .NET tests run in place of real ones.

#include <windows.h>

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
