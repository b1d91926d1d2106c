#pragma once
// Move-only owners of every kind of resource the installer holds: one owner per resource,
// released where it was acquired. Copying is deleted, so nothing is ever released twice.

#include <windows.h>
#include <objbase.h>
#include <winhttp.h>

#include <cstdio>
#include <utility>

#include "base/SystemApi.h"

template <typename Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() noexcept = default;
    explicit ScopedHandle(Handle h) noexcept : handle_(h) {}
    ~ScopedHandle() { reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Handle get() const noexcept { return handle_; }
    bool valid() const noexcept { return Traits::Valid(handle_); }
    explicit operator bool() const noexcept { return valid(); }

    // For Win32 out-parameters: closes what is held first.
    Handle* out() noexcept {
        reset();
        return &handle_;
    }
    Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
    void reset(Handle h = Traits::Invalid()) noexcept {
        if (Traits::Valid(handle_)) Traits::Close(handle_);
        handle_ = h;
    }

private:
    Handle handle_ = Traits::Invalid();
};

// A pointer released by one function, null when empty: C library and third-party handles
// (FILE*, curl, archives), each aliased beside the code that uses it.
template <typename T, auto Free>
struct FreedBy {
    using Handle = T;
    static Handle Invalid() noexcept { return nullptr; }
    static bool Valid(Handle h) noexcept { return h != nullptr; }
    static void Close(Handle h) noexcept { Free(h); }
};

// CreateFileW and friends fail with INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Valid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

// Events, threads, processes fail with null.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static bool Valid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Valid(Handle h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(Handle h) noexcept { ::FindClose(h); }
};

inline void CloseRegKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void CloseService(SC_HANDLE handle) noexcept { ::CloseServiceHandle(handle); }
inline void CloseInternet(HINTERNET handle) noexcept { VEXO_SYSTEM_CALL(WinHttp, WinHttpCloseHandle)(handle); }
inline void DeleteGdiObject(HGDIOBJ object) noexcept { ::DeleteObject(object); }
inline void DeleteMemoryDc(HDC dc) noexcept { ::DeleteDC(dc); }
inline void FreeCoTaskMemory(void* memory) noexcept { ::CoTaskMemFree(memory); }
inline void FreeLocalMemory(void* memory) noexcept { ::LocalFree(memory); }
inline void FreeGlobalText(wchar_t* text) noexcept { ::GlobalFree(text); }
inline void CloseCFile(FILE* file) noexcept { std::fclose(file); }
inline void FreeArgList(LPWSTR* list) noexcept { ::LocalFree(list); }

using UniqueFile = ScopedHandle<FileHandleTraits>;
using UniqueHandle = ScopedHandle<KernelHandleTraits>;
using UniqueFind = ScopedHandle<FindHandleTraits>;
using UniqueRegKey = ScopedHandle<FreedBy<HKEY, CloseRegKey>>;
using UniqueServiceHandle = ScopedHandle<FreedBy<SC_HANDLE, CloseService>>;
// WinHTTP sessions, connections and requests.
using UniqueInternet = ScopedHandle<FreedBy<HINTERNET, CloseInternet>>;
// Bitmaps, brushes, fonts, regions.
using UniqueGdiObject = ScopedHandle<FreedBy<HGDIOBJ, DeleteGdiObject>>;
// Device contexts made with CreateCompatibleDC.
using UniqueMemoryDc = ScopedHandle<FreedBy<HDC, DeleteMemoryDc>>;
// Shell item lists and other memory the shell hands over.
using UniqueCoTaskMemory = ScopedHandle<FreedBy<void*, FreeCoTaskMemory>>;
// Security descriptors and other memory the system hands over with LocalAlloc.
using UniqueLocalMemory = ScopedHandle<FreedBy<void*, FreeLocalMemory>>;
// Proxy texts WinHTTP allocates for its caller.
using UniqueGlobalText = ScopedHandle<FreedBy<wchar_t*, FreeGlobalText>>;
// A C stream; release it and fclose by hand where the result of the close matters.
using UniqueCFile = ScopedHandle<FreedBy<FILE*, CloseCFile>>;
// The arguments CommandLineToArgvW splits a command line into.
using UniqueArgList = ScopedHandle<FreedBy<LPWSTR*, FreeArgList>>;

// The window's device context, given back to the window.
class WindowDc {
public:
    explicit WindowDc(HWND window) noexcept : window_(window), dc_(::GetDC(window)) {}
    ~WindowDc() {
        if (dc_ != nullptr) ::ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const noexcept { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// Selects an object into a device context and puts the previous one back.
class ScopedSelect {
public:
    ScopedSelect(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(::SelectObject(dc, object)) {}
    ~ScopedSelect() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) ::SelectObject(dc_, previous_);
    }
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A COM interface pointer, released once.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // For CoCreateInstance and QueryInterface.
    void** out() noexcept {
        reset();
        return reinterpret_cast<void**>(&p_);
    }
    void reset() noexcept {
        if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};

// COM for this thread for the scope's lifetime; balanced only when this call initialised it
// (S_FALSE counts too; a refused mode change does not).
class ComScope {
public:
    ComScope() noexcept : result_(::CoInitialize(nullptr)) {}
    ~ComScope() {
        if (SUCCEEDED(result_)) ::CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    HRESULT result() const noexcept { return result_; }

private:
    HRESULT result_;
};

// A critical section entered for the scope's lifetime.
class Locked {
public:
    explicit Locked(CRITICAL_SECTION* lock) noexcept : lock_(lock) { ::EnterCriticalSection(lock_); }
    ~Locked() { ::LeaveCriticalSection(lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION* lock_;
};
