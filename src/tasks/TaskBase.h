#pragma once

#include <windows.h>

#include <string>

// One step of the installation. Run does the work, posts progress and errors to
// mainWindow, and on success creates the successor and links it as `next`.
class TaskBase {
public:
    explicit TaskBase(HWND window) noexcept : mainWindow(window) {}
    virtual ~TaskBase() = default;
    TaskBase(const TaskBase&) = delete;
    TaskBase& operator=(const TaskBase&) = delete;

    virtual void Run() {}

    void SetInstallPath(std::wstring path) { installPath = std::move(path); }
    void SetModuleDir(std::wstring dir) { moduleDir = std::move(dir); }

    HWND mainWindow = nullptr;
    std::wstring installPath;
    std::wstring moduleDir;
    TaskBase* next = nullptr;
};
