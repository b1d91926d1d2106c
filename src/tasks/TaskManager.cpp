#include "tasks/TaskManager.h"

#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"

namespace {

constexpr wchar_t kRunner[] = L"the task runner";

}  // namespace

// On a failure startEvent stays set: nothing is installed and this process cannot start a runner
// again, but the window is never left waiting.
void TaskManager::StartTaskManager() {
    if (startEvent.load() != nullptr) return;

    UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) {
        LogCallFailed("CreateEventW", kRunner, ::GetLastError());
        return;
    }
    startEvent = event.get();

    DWORD id = 0;
    const UniqueHandle thread(::CreateThread(nullptr, 0, TaskManagerThread, this, 0, &id));
    if (!thread) {
        LogCallFailed("CreateThread", kRunner, ::GetLastError());
        return;
    }
    threadId = id;
    threadHandle = thread.get();

    // Waiting on the thread as well means a runner that dies before its signal cannot hang the
    // window. The handle is ours alone (the runner never touches it), so it stays valid for the
    // whole wait: no copy to make, no suspended start to resume, nothing that can fail and hang.
    const HANDLE handles[2] = {event.get(), thread.get()};
    ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    threadHandle = nullptr;
    // `event` and `thread` close here; startEvent keeps its stale value until the runner clears it.
}

namespace {

void LogRunner(const char* line) {
    if (g_log != nullptr) g_log->Write(line, 1);
}

}  // namespace

DWORD WINAPI TaskManagerThread(LPVOID param) {
    auto* manager = static_cast<TaskManager*>(param);

    Report(L"activate", L"", L"", L"");
    LogRunner("Task Manager start");
    ::SetEvent(manager->startEvent.load());
    Report(L"install_start", L"ptaz_all", L"", L"");

    const std::wstring moduleDir = ModuleDirectory();
    for (TaskBase* task = manager->firstTask; task != nullptr; task = task->next) {
        task->SetInstallPath(manager->installPath);
        task->SetModuleDir(moduleDir);
        task->Run();
    }

    // What the tasks left running ends before the installation does: the window ends the process.
    for (TaskBase* task = manager->firstTask; task != nullptr; task = task->next)
        if (task->afterwards) ::WaitForSingleObject(task->afterwards.get(), INFINITE);

    Report(L"install_done", L"ptaz_all", L"", L"");
    // Before the window hears of the end: it ends the process at once, and would cut the line off.
    LogRunner("exit TaskManager excute now");
    PostInstallDone(manager->mainWindow);
    manager->startEvent = nullptr;
    return 0;
}
