#pragma once
// The window's scale. The skin's positions, sizes, fonts and images are in pixels at 96 DPI;
// the window draws them at its own DPI (96 = 1.0, 144 = 1.5, 192 = 2.0).

#include <windows.h>

#include <cstdint>
#include <string>

namespace UiLib {

constexpr int kSkinDpi = 96;
// Sent when the window moves to a monitor of another scale (Windows 8.1); the headers of older
// SDKs lack it.
constexpr UINT kWmDpiChanged = 0x02E0;

// The DPI the window is drawn at: its own on Windows 10 (1607 on) where each monitor has its
// scale, the system's elsewhere (XP to 8.1 scale every window alike).
int WindowDpi(HWND window);

// A skin length at `dpi`, rounded to the nearest pixel.
inline int ScaleLength(int value, int dpi) { return dpi == kSkinDpi ? value : MulDiv(value, dpi, kSkinDpi); }
// Each edge scaled on its own, so rectangles that meet in the skin still meet.
RECT ScaleRect(const RECT& rect, int dpi);
// A client rectangle back in skin pixels, rounded outwards so it still covers the client area.
RECT UnscaleRect(const RECT& rect, int dpi);

// The image set drawn for `dpi`, in percent: the smallest of 100, 150 and 200 at least as large
// as the scale, so images are only ever scaled down (200 above 2.0).
int ImageSetPercent(int dpi);
// The skin's file of that set: "MainFrame.png" at 150 is "MainFrame@1.5x.png".
std::wstring ImageSetFile(const std::wstring& file, int percent);

// Scales a premultiplied 32-bit image down by averaging the area each target pixel covers:
// smooth without the blur of a scale up. Both top-down, rows without padding.
void ShrinkPixels(const uint32_t* source, int sourceWidth, int sourceHeight, uint32_t* target, int targetWidth,
                  int targetHeight);

}  // namespace UiLib
