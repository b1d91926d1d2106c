#pragma once
// The benchmark programs' own peak memory, printed as key=value lines.

#include <windows.h>
#include <psapi.h>

#include <cstdio>

// psapi at run time: the entry point lives in different DLLs across Windows versions.
inline void PrintPeakMemory() {
    using Fn = BOOL(WINAPI*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    HMODULE psapi = LoadLibraryW(L"psapi.dll");
    Fn fn =
        psapi ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(psapi, "GetProcessMemoryInfo"))) : nullptr;
    PROCESS_MEMORY_COUNTERS mc = {};
    mc.cb = sizeof mc;
    if (fn && fn(GetCurrentProcess(), &mc, sizeof mc)) {
        printf("peak_working_set_kib=%u\npeak_pagefile_kib=%u\n", static_cast<unsigned>(mc.PeakWorkingSetSize >> 10),
               static_cast<unsigned>(mc.PeakPagefileUsage >> 10));
    }
    if (psapi) FreeLibrary(psapi);
}
