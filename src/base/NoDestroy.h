#pragma once
// Holds a process-wide object that is built during static initialisation and never
// destroyed: the window ends the process with exit(0) while the runner thread may still
// be using it, so no destructor may run under that thread.

#include <new>
#include <utility>

template <typename T>
class NoDestroy {
public:
    template <typename... Args>
    explicit NoDestroy(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NoDestroy(const NoDestroy&) = delete;
    NoDestroy& operator=(const NoDestroy&) = delete;

    T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};
