#include "base/Signal.h"

#include "base/SystemApi.h"

Signal::Signal(bool variable) noexcept {
    if (variable) {
        sleep_ = SystemFunctionAs<SleepFn>(SystemFunction::SleepConditionVariableCS);
        wake_ = SystemFunctionAs<WakeFn>(SystemFunction::WakeConditionVariable);
        if (sleep_ != nullptr && wake_ != nullptr) return;
    }
    sleep_ = nullptr;
    semaphore_.reset(::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr));
}

void Signal::Wait(CRITICAL_SECTION* lock) noexcept {
    if (sleep_ == nullptr) {
        ::LeaveCriticalSection(lock);
        ::WaitForSingleObject(semaphore_.get(), INFINITE);
        ::EnterCriticalSection(lock);
        return;
    }
    // A condition variable may also return without a wake.
    while (wakes_ == 0) (void)sleep_(&variable_, lock, INFINITE);
    --wakes_;
}

void Signal::Wake(LONG count) noexcept {
    if (count <= 0) return;
    if (sleep_ == nullptr) {
        ::ReleaseSemaphore(semaphore_.get(), count, nullptr);
        return;
    }
    wakes_ += count;
    for (LONG i = 0; i < count; ++i) wake_(&variable_);
}
