// Started from a folder with planted DLLs.
//   by-name: loads "version.dll" by name, as any program that imports it would; exit 0 when loaded
//   system NAME: restricts the search as the installer does, then loads that DLL (one the installer
//            takes at run time) as the installer does; exit 0 when it loaded, not from this folder
#include <windows.h>

#include <cwchar>
#include <string>

#include "base/SystemApi.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (std::wcscmp(argv[1], L"by-name") == 0) return ::LoadLibraryW(L"version.dll") != nullptr ? 0 : 1;

    RestrictDllSearch();
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring folder = std::wstring(self).substr(0, std::wstring(self).rfind(L'\\') + 1);
    if (argc < 3) return 2;
    const struct {
        const wchar_t* name;
        SystemDll dll;
    } dlls[] = {{L"version", SystemDll::Version},
                {L"winhttp", SystemDll::WinHttp},
                {L"gdiplus", SystemDll::GdiPlus},
                {L"wintrust", SystemDll::WinTrust},
                {L"crypt32", SystemDll::Crypt32}};
    for (const auto& d : dlls) {
        if (std::wcscmp(d.name, argv[2]) != 0) continue;
        const HMODULE module = LoadSystemDll(d.dll);
        wchar_t path[MAX_PATH] = {};
        if (module == nullptr || ::GetModuleFileNameW(module, path, MAX_PATH) == 0) return 3;
        std::wprintf(L"%ls\n", path);
        return _wcsnicmp(path, folder.c_str(), folder.size()) == 0 ? 4 : 0;
    }
    return 2;
}
