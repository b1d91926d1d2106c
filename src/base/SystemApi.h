#pragma once
// Functions some supported Windows lack, looked up at run time from one table instead of
// imported, so the installer still loads where they are missing.

#include <windows.h>

enum class SystemFunction {
    GetTickCount64,       // kernel32, Windows Vista
    GetNativeSystemInfo,  // kernel32, Windows XP
    IsWow64Process,       // kernel32, Windows XP SP2
    UpdateLayeredWindow,  // user32, Windows 2000
};

// The function's address, or null where this Windows lacks it.
FARPROC LookUpSystemFunction(SystemFunction which) noexcept;

template <typename Fn>
Fn SystemFunctionAs(SystemFunction which) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(LookUpSystemFunction(which)));
}
