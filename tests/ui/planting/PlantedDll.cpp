// A DLL left beside a program under a system DLL's name: when anything loads it, it leaves
// "<its name>.loaded" beside itself, naming the program it was loaded into.

#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    std::wstring marker(path, n);
    marker = marker.substr(0, marker.rfind(L'.')) + L".loaded";
    const HANDLE file = ::CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return TRUE;
    char program[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameA(nullptr, program, MAX_PATH - 1);
    if (length < MAX_PATH - 1) program[length++] = '\n';
    DWORD written = 0;
    ::WriteFile(file, program, length, &written, nullptr);
    ::CloseHandle(file);
    return TRUE;
}
