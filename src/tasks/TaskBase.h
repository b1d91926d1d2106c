#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/Owners.h"

class TaskBase;
// Makes the task that follows a successful one, given the progress it starts from. The entry
// point wires the chain's order by handing each task the factory of its successor.
using TaskFactory = TaskBase* (*)(HWND window, int32_t progressBase);

// One step of the installation. Run does the work, posts progress and errors to
// mainWindow, and on success creates the successor and links it as `next`.
class TaskBase {
public:
    explicit TaskBase(HWND window) noexcept : mainWindow(window) {}
    // Waits for what the task left running.
    virtual ~TaskBase() {
        if (afterwards) ::WaitForSingleObject(afterwards.get(), INFINITE);
    }
    TaskBase(const TaskBase&) = delete;
    TaskBase& operator=(const TaskBase&) = delete;

    virtual void Run() {}

    void SetInstallPath(std::wstring path) { installPath = std::move(path); }
    void SetModuleDir(std::wstring dir) { moduleDir = std::move(dir); }

    // Links the successor that `make` builds (none without a factory) and hands it this task's folder.
    void ChainNext(TaskFactory make, int32_t nextProgressBase) {
        next = make != nullptr ? make(mainWindow, nextProgressBase) : nullptr;
        if (next == nullptr) return;
        next->SetInstallPath(installPath);
        next->runtimePackageSha256 = runtimePackageSha256;
    }

    HWND mainWindow = nullptr;
    std::wstring installPath;
    std::wstring moduleDir;
    // The runtime package's SHA-256 (hex) as the checked payload holds it, empty when it holds
    // none: by the time it runs, the file in the install folder may have been replaced.
    std::string runtimePackageSha256;
    TaskBase* next = nullptr;
    // A thread of work the task left to finish while the chain goes on (an earlier installation's
    // removal); the runner waits for it before it reports the end.
    UniqueHandle afterwards;
};
