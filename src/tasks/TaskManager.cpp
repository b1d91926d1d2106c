#include "tasks/TaskManager.h"

#include "app/Log.h"
#include "app/ModulePath.h"
#include "app/ScopedHandle.h"
#include "stats/ReportSender.h"
#include "tasks/InstallMessages.h"

void TaskManager::StartTaskManager() {
    if (startEvent.load() != nullptr) return;

    UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) return;
    startEvent = event.get();

    // Created suspended so the id and handle are stored before the runner can read them;
    // it is resumed at once, so to every observer it runs straight away.
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, TaskManagerThread, this, CREATE_SUSPENDED, &id);
    if (thread == nullptr) return;  // startEvent stays set: this process cannot start a runner again
    threadId = id;
    threadHandle = thread;

    // The runner closes threadHandle itself at its end; wait on a copy of our own.
    UniqueHandle waitCopy;
    ::DuplicateHandle(::GetCurrentProcess(), thread, ::GetCurrentProcess(), waitCopy.out(), SYNCHRONIZE, FALSE, 0);
    ::ResumeThread(thread);

    // Waiting on the thread as well means a runner that dies before its signal cannot hang the window.
    if (waitCopy) {
        const HANDLE handles[2] = {event.get(), waitCopy.get()};
        ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    } else {
        ::WaitForSingleObject(event.get(), INFINITE);
    }
    // `event` closes here; startEvent keeps its stale value until the runner clears it.
}

namespace {

void LogRunner(const char* line) {
    if (g_log != nullptr) g_log->Write(line, 1);
}

}  // namespace

DWORD WINAPI TaskManagerThread(LPVOID param) {
    auto* manager = static_cast<TaskManager*>(param);

    SendReport(L"activate", L"", L"", L"");
    LogRunner("Task Manager start");
    ::SetEvent(manager->startEvent.load());
    SendReport(L"install_start", L"ptaz_all", L"", L"");

    const std::wstring moduleDir = ModuleDirectory();
    for (TaskBase* task = manager->firstTask; task != nullptr; task = task->next) {
        task->SetInstallPath(manager->installPath);
        task->SetModuleDir(moduleDir);
        task->Run();
    }

    SendReport(L"install_done", L"ptaz_all", L"", L"");
    ::CloseHandle(manager->threadHandle);
    // Before the window hears of the end: it ends the process at once, and would cut the line off.
    LogRunner("exit TaskManager excute now");
    PostInstallDone(manager->mainWindow);
    manager->startEvent = nullptr;
    return 0;
}
