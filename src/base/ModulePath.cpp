#include "base/ModulePath.h"

#include <windows.h>

std::wstring ModuleDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::wstring dir(path, n);
    const auto slash = dir.rfind(L'\\');
    if (slash == std::wstring::npos) return {};
    dir.resize(slash);
    return dir;
}
