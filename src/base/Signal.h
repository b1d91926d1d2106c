#pragma once
// Wakes handed from thread to thread under one critical section, as a semaphore would hand them:
// each wake lets one wait return, a wait that begins later included, so none is lost. Where
// Windows has condition variables (Vista and later) the waits are on one: under Wine those wait and
// wake without a round trip to its server, which the extraction's file creations keep busy. XP
// waits on a semaphore.
//
// Both calls are made with the critical section held. A wait may still find its condition unmet
// (a wake left over), so it is made in a loop on the condition.

#include <windows.h>

#include "base/Owners.h"

class Signal {
public:
    // variable false: a semaphore even where condition variables exist (tests).
    explicit Signal(bool variable = true) noexcept;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    // False when neither could be had.
    bool Ready() const noexcept { return sleep_ != nullptr || semaphore_; }
    // Leaves `lock` while it waits for a wake, and enters it again before returning.
    void Wait(CRITICAL_SECTION* lock) noexcept;
    void Wake(LONG count = 1) noexcept;

private:
    using SleepFn = BOOL(WINAPI*)(void* variable, CRITICAL_SECTION* lock, DWORD milliseconds);
    using WakeFn = void(WINAPI*)(void* variable);
    void* variable_ = nullptr;  // a CONDITION_VARIABLE, initialised
    LONG wakes_ = 0;            // given and not taken, with the variable
    SleepFn sleep_ = nullptr;
    WakeFn wake_ = nullptr;
    UniqueHandle semaphore_;
};
