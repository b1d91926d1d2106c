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

// One set of factories per kind of install: an unattended one does not start the emulator.
template <bool Unattended>
TaskBase* MakeRuntime(HWND window, int32_t progressBase) {
    auto* task = new (std::nothrow) RunVCTask(window);
    if (task != nullptr) task->startsEmulator = !Unattended;
    return WithProgressBase(task, progressBase);
}

template <bool Unattended>
TaskBase* MakeRegistration(HWND window, int32_t progressBase) {
    return WithProgressBase(new (std::nothrow) RegSoftwareTask(window, MakeRuntime<Unattended>), progressBase);
}

template <bool Unattended>
TaskBase* MakeExtraction(HWND window, int32_t progressBase) {
    return WithProgressBase(new (std::nothrow) UnZipTask(window, MakeRegistration<Unattended>), progressBase);
}

}  // namespace

TaskBase* MakeRunVCTask(HWND window, int32_t progressBase) { return MakeRuntime<false>(window, progressBase); }
TaskBase* MakeRegSoftwareTask(HWND window, int32_t progressBase) {
    return MakeRegistration<false>(window, progressBase);
}
TaskBase* MakeUnZipTask(HWND window, int32_t progressBase) { return MakeExtraction<false>(window, progressBase); }

TaskBase* MakeInstallChain(HWND window, bool unattended) {
    return new (std::nothrow) DotNetFrameworkTask(window, unattended ? MakeExtraction<true> : MakeExtraction<false>);
}
