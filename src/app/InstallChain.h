#pragma once
// The order of the install chain, wired in one place: each task is handed the factory of the
// task that follows it.

#include <windows.h>

#include <cstdint>

class TaskBase;

// The chain's head: the .NET Framework task, followed by the extraction, the registration and
// the runtime task. Null when it cannot be allocated. An unattended chain does not start the
// emulator at its end.
TaskBase* MakeInstallChain(HWND window, bool unattended = false);

// Each link on its own, for code that starts the chain part way.
TaskBase* MakeUnZipTask(HWND window, int32_t progressBase);
TaskBase* MakeRegSoftwareTask(HWND window, int32_t progressBase);
TaskBase* MakeRunVCTask(HWND window, int32_t progressBase);
