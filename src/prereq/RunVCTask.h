#pragma once

#include <windows.h>

#include <cstdint>

#include "tasks/TaskBase.h"

// The last task: the runtime package from the payload, waited for, then the emulator, not waited for.
class RunVCTask : public TaskBase {
public:
    explicit RunVCTask(HWND window) noexcept : TaskBase(window) {}
    void Run() override;

    int32_t progressBase = 0;  // kept for the chain; this task posts fixed values
    // An unattended install has no user waiting for the emulator.
    bool startsEmulator = true;
};

constexpr wchar_t kRuntimeParameters[] = L"/q /c:\"msiexec /i vcredist.msi /qn /l*v %temp%\\vcredist_x86.log\"";
