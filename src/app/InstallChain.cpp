#include "app/InstallChain.h"

#include <new>

#include "archive/UnZipTask.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/RunVCTask.h"
#include "registration/RegSoftwareTask.h"

namespace {

template <typename Task>
TaskBase* WithProgressBase(Task* task, int32_t progressBase) {
    if (task != nullptr) task->progressBase = progressBase;
    return task;
}

}  // namespace

TaskBase* MakeRunVCTask(HWND window, int32_t progressBase) {
    return WithProgressBase(new (std::nothrow) RunVCTask(window), progressBase);
}

TaskBase* MakeRegSoftwareTask(HWND window, int32_t progressBase) {
    return WithProgressBase(new (std::nothrow) RegSoftwareTask(window, MakeRunVCTask), progressBase);
}

TaskBase* MakeUnZipTask(HWND window, int32_t progressBase) {
    return WithProgressBase(new (std::nothrow) UnZipTask(window, MakeRegSoftwareTask), progressBase);
}

TaskBase* MakeInstallChain(HWND window) { return new (std::nothrow) DotNetFrameworkTask(window, MakeUnZipTask); }
