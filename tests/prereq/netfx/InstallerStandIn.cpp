// Stand-in for a downloaded .NET Framework installer, served by the tests' download server.
// It notes how it was started in "<its own name>.ran" in RecordFolder() (command line, working
// folder, then "held" when another process holds its file against deletion, as the task must while
// it runs, or "not held"), which outlives the installer file the task deletes, and loads DLLs by
// name as the real ones do. The NETFX_STANDIN_SP2 form also acts as the
// service pack: .NET 2.0 "Install" = 1 at once, and "SP" = 2 about two seconds after it has
// ended, from a copy of itself, as an installer that finishes behind its own back would.

#include <cstring>

#include "StandInUtil.h"

#ifdef NETFX_STANDIN_SP2
namespace {

void SetNet2Value(const wchar_t* name, DWORD value) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727", 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    ::RegCloseKey(key);
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef NETFX_STANDIN_SP2
    if (argc > 1 && std::strcmp(argv[1], "--late") == 0) {
        ::Sleep(2000);
        SetNet2Value(L"SP", 2);
        return 0;
    }
#endif
    (void)argc;
    (void)argv;
    LoadDllsByName();
    wchar_t folder[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, folder);
    const std::wstring ran = RecordFolder() + L"\\" + OwnName() + L".ran";
    AppendLine(ran, ::GetCommandLineW());
    AppendLine(ran, folder);
    // Nobody else has the file open without sharing deletion: opening it for deletion succeeds even
    // while it runs (its image only bars writing).
    const HANDLE self = ::CreateFileW(OwnPath().c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    AppendLine(ran, self == INVALID_HANDLE_VALUE ? L"held" : L"not held");
    if (self != INVALID_HANDLE_VALUE) ::CloseHandle(self);
#ifdef NETFX_STANDIN_SP2
    SetNet2Value(L"Install", 1);
    // The copy, not this file, lives on: the task deletes this one once the pack shows. It goes
    // into the folder above the records, which belongs to the test.
    const std::wstring own = OwnPath();
    const std::wstring records = RecordFolder();
    const std::wstring late = records.substr(0, records.find_last_of(L'\\')) + L"\\sp2-late.exe";
    ::CopyFileW(own.c_str(), late.c_str(), FALSE);
    std::wstring line = L"\"" + late + L"\" --late";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (::CreateProcessW(late.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
#endif
    return 0;
}
