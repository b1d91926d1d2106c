#pragma once
// Messages the tasks post to the main window; the window is the only receiver.

#include <windows.h>

#include <cstdint>

constexpr UINT WM_INSTALL_PROGRESS = WM_USER + 10;      // wParam: percent; lParam: kProgressPlain or kProgressNetFx
constexpr UINT WM_INSTALL_DONE = WM_USER + 11;          // wParam 0, lParam 0
constexpr UINT WM_NETFX_DOWNLOAD_ERROR = WM_USER + 12;  // wParam -2, lParam -2
constexpr UINT WM_DISK_SPACE_ERROR = WM_USER + 13;      // wParam 0, lParam -1
// A prerequisite's download: which one and whether it starts or goes on after a break, then how
// much has arrived, a few times a second. The window shows it under the bar.
constexpr UINT WM_DOWNLOAD_STATE = WM_USER + 14;     // wParam: DownloadWhat; lParam: DownloadPhase
constexpr UINT WM_DOWNLOAD_PROGRESS = WM_USER + 15;  // wParam: KiB arrived; lParam: KiB in all, or -1

static_assert(WM_INSTALL_PROGRESS == 1034 && WM_DISK_SPACE_ERROR == 1037, "message numbers are fixed");

// lParam of WM_INSTALL_PROGRESS: the window shows the .NET notice only for kProgressNetFx.
constexpr LPARAM kProgressPlain = -1;
constexpr LPARAM kProgressNetFx = -2;

enum DownloadWhat : WPARAM { kDownloadNetFx35 = 1, kDownloadSp2 = 2 };
enum DownloadPhase : LPARAM { kDownloadStarting = 0, kDownloadResuming = 1 };
constexpr LPARAM kDownloadSizeUnknown = -1;

// Posting never blocks the runner on the UI thread; a failed post is ignored.
inline void PostProgress(HWND window, int percent, LPARAM kind = kProgressPlain) {
    ::PostMessageW(window, WM_INSTALL_PROGRESS, static_cast<WPARAM>(percent), kind);
}
inline void PostInstallDone(HWND window) { ::PostMessageW(window, WM_INSTALL_DONE, 0, 0); }
inline void PostNetFxDownloadError(HWND window) {
    ::PostMessageW(window, WM_NETFX_DOWNLOAD_ERROR, static_cast<WPARAM>(-2), -2);
}
inline void PostDiskSpaceError(HWND window) { ::PostMessageW(window, WM_DISK_SPACE_ERROR, 0, -1); }
inline void PostDownloadState(HWND window, DownloadWhat what, DownloadPhase phase) {
    ::PostMessageW(window, WM_DOWNLOAD_STATE, what, phase);
}
inline void PostDownloadProgress(HWND window, uint64_t arrived, int64_t total) {
    ::PostMessageW(window, WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(arrived / 1024),
                   total < 0 ? kDownloadSizeUnknown : static_cast<LPARAM>(total / 1024));
}
