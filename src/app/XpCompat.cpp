// The C++ runtime's thread support (winpthread) imports GetTickCount64, which Windows XP
// lacks: an exe importing it does not even load there. This file supplies the import slot
// itself, so the loader never looks the function up; newer Windows still get the real one.

#include <windows.h>

#include <atomic>

#include "base/SystemApi.h"

namespace {

using TickCount64Fn = ULONGLONG(WINAPI*)();

// Windows XP: widen GetTickCount, counting its wraps (every 49.7 days).
ULONGLONG WINAPI WidenedTickCount() {
    static std::atomic<ULONGLONG> last{0};
    ULONGLONG previous = last.load();
    for (;;) {
        ULONGLONG now = (previous & ~0xFFFFFFFFull) | ::GetTickCount();
        if (now < previous) now += 0x100000000ull;
        if (last.compare_exchange_weak(previous, now)) return now;
    }
}

ULONGLONG WINAPI TickCount64() {
    static const TickCount64Fn native = SystemFunctionAs<TickCount64Fn>(SystemFunction::GetTickCount64);
    return native != nullptr ? native() : WidenedTickCount();
}

}  // namespace

extern "C" {
// The import slot winpthread's code calls through.
TickCount64Fn imp_GetTickCount64 __asm__("__imp__GetTickCount64@0") = &TickCount64;
}
