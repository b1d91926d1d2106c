#pragma once
// Drives real windows in tests: clicks, message pumping, and answering message boxes.

#include <windows.h>

#include <string>

// Dispatches this thread's messages for about `ms` milliseconds.
void PumpFor(DWORD ms);
// Dispatches messages until `done` returns true or `timeoutMs` passes; returns done().
template <typename Pred>
bool PumpUntil(Pred done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) return false;
        PumpFor(10);
    }
    return true;
}

// A press and release of the left button at a client point, as posted mouse messages.
void PostClick(HWND window, POINT clientPoint);
SIZE ClientSize(HWND window);

struct SeenBox {
    std::wstring caption;
    std::wstring text;
    bool hasOk = false;
    bool hasCancel = false;
};

// Waits on its own thread for the next message box of process `pid`, records it and
// presses `answer` (IDOK or IDCANCEL).
class BoxAnswerer {
public:
    BoxAnswerer(DWORD pid, int answer, DWORD timeoutMs = 10000);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // Waits for the answer to have been given; false when no box appeared in time.
    bool Wait(DWORD timeoutMs = 10000);
    const SeenBox& seen() const { return seen_; }

private:
    static DWORD WINAPI Run(LPVOID self);
    DWORD pid_;
    int answer_;
    DWORD timeoutMs_;
    SeenBox seen_;
    bool found_ = false;
    HANDLE thread_ = nullptr;
};

// Reads a message box's caption, text and buttons; false when `box` is no longer a window.
bool ReadMessageBox(HWND box, SeenBox* seen);

// Centre of a control in the client area, as the installer's skin (res.zip in VEXO_SKIN_DIR)
// places it; (-1, -1) when the skin has no such control.
POINT SkinCentre(const wchar_t* name);

// A visible top-level window of process `pid` with window class `className`, or null.
HWND FindProcessWindow(DWORD pid, const wchar_t* className);
// A visible message box of process `pid`, or null.
HWND FindMessageBox(DWORD pid);

// Saves what the screen shows of `window` (its whole window rectangle) as a PNG; false on failure.
bool SaveWindowPng(HWND window, const std::wstring& path);
// Folder for screenshots a person can look at: <build>/screenshots (VEXO_SCREENSHOTS).
std::wstring ScreenshotPath(const std::wstring& name);
