#include "base/SystemApi.h"

#include <iterator>

namespace {

struct SystemFunctionEntry {
    SystemFunction which;
    const wchar_t* module;  // always loaded: the installer imports from both
    const char* name;
};

constexpr SystemFunctionEntry kSystemFunctions[] = {
    {SystemFunction::GetTickCount64, L"kernel32.dll", "GetTickCount64"},
    {SystemFunction::GetNativeSystemInfo, L"kernel32.dll", "GetNativeSystemInfo"},
    {SystemFunction::IsWow64Process, L"kernel32.dll", "IsWow64Process"},
    {SystemFunction::UpdateLayeredWindow, L"user32.dll", "UpdateLayeredWindow"},
};

}  // namespace

FARPROC LookUpSystemFunction(SystemFunction which) noexcept {
    for (const auto& entry : kSystemFunctions) {
        if (entry.which != which) continue;
        const HMODULE module = ::GetModuleHandleW(entry.module);
        return module != nullptr ? ::GetProcAddress(module, entry.name) : nullptr;
    }
    return nullptr;
}
