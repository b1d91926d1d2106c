#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "tasks/TaskBase.h"

// The single worker thread that walks the task chain.
class TaskManager {
public:
    void SetInstallPath(std::wstring path) { installPath = std::move(path); }
    // Starts the runner and returns once it has signalled its start (or died).
    // Does nothing while a runner is starting or running.
    void StartTaskManager();

    // Non-null from the start of the runner until its very end; read by both threads.
    std::atomic<HANDLE> startEvent{nullptr};
    DWORD threadId = 0;
    HANDLE threadHandle = nullptr;  // set while StartTaskManager waits on it; the runner never needs it
    TaskBase* firstTask = nullptr;
    std::wstring installPath;
    HWND mainWindow = nullptr;
};

extern TaskManager& g_taskManager;

DWORD WINAPI TaskManagerThread(LPVOID taskManager);
