#pragma once
// The main window's drop shadow: a click-through layered popup owned by the
// parent, a little larger than it, filled with a premultiplied ARGB bitmap computed from the
// parent's window region. It follows the parent by subclassing the parent's window procedure.

#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

class CWndShadow;

// UpdateLayeredWindow, looked up by name in USER32.DLL at run time (never linked directly).
using UpdateLayeredWindowProc = BOOL(WINAPI*)(HWND, HDC, POINT*, SIZE*, HDC, POINT*, COLORREF, BLENDFUNCTION*, DWORD);

// Process-wide state shared by all shadows (defined with the other process-wide objects).
// Null when the system lacks UpdateLayeredWindow or RegisterShadowClass has not run.
extern UpdateLayeredWindowProc g_updateLayeredWindow;
// The module the shadow window class "UmbraShadowWnd" is registered with.
extern HINSTANCE g_shadowInstance;
// Parent window → its shadow; the subclassed window procedure finds its shadow here.
extern std::map<HWND, CWndShadow*> g_shadowMap;

// What the bitmap is computed from, besides the parent's region and size.
struct ShadowParams {
    int8_t size = 0;     // pixels beyond the parent on each side (negative: smaller)
    int8_t offsetX = 5;  // shift relative to the parent
    int8_t offsetY = 5;
    uint8_t darkness = 150;  // alpha of the core
    uint8_t sharpness = 5;   // width of the blurred ramp
    COLORREF color = RGB(0, 0, 0);
};

// One horizontal scan line [start, end); empty when start >= end.
struct ScanLine {
    int start;
    int end;
};

// The parent's scan lines for rows 0 to height - 1 of its window region; a row without a point
// of the region (or any row, for a null region) is (width, 0).
std::vector<ScanLine> ParentScanLines(HRGN region, int width, int height);

// Fills `bits`, the zeroed shadow bitmap of (width + 2 size) x (height + 2 size) pixels stored
// bottom-up as the DIB section, from the parent's window region (null: no region, so the bitmap
// stays transparent). Does nothing when either side of the bitmap is 0 or less; never writes
// outside the bitmap.
void RenderShadow(HRGN region, int width, int height, const ShadowParams& params, uint32_t* bits);

class CWndShadow {
public:
    // Bits of `status`.
    enum : BYTE { kEnabled = 0x01, kVisible = 0x02, kParentVisible = 0x04 };

    CWndShadow() = default;
    CWndShadow(const CWndShadow&) = delete;
    CWndShadow& operator=(const CWndShadow&) = delete;
    // Releases nothing: the shadow window goes with the parent (see ParentWindowProc).
    virtual ~CWndShadow() = default;

    // Looks up UpdateLayeredWindow and registers "UmbraShadowWnd" with `instance`. False when it
    // has already run or the system lacks UpdateLayeredWindow.
    static bool RegisterShadowClass(HINSTANCE instance);

    // Creates the shadow window owned by `parent` and subclasses the parent. Does nothing
    // without UpdateLayeredWindow, when this shadow is already attached, or when the parent
    // already has a shadow.
    void AttachToParent(HWND parent);
    // Store the value(s); a visible shadow is redrawn for its owner.
    void SetShadowSize(int8_t newSize);
    void SetShadowOffset(int8_t x, int8_t y);
    // Recomputes the bitmap for `parent` and pushes it to the shadow window.
    void Redraw(HWND parent);

    static LRESULT CALLBACK ParentWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    ShadowParams Params() const { return {size, offsetX, offsetY, darkness, sharpness, color}; }

    // Public so the owner and the tests can read them.
    HWND hwnd = static_cast<HWND>(INVALID_HANDLE_VALUE);  // the shadow window
    WNDPROC parentProc = nullptr;                         // the parent's procedure before subclassing
    BYTE status = 0;                                      // kEnabled | kVisible | kParentVisible
    uint8_t darkness = 150;
    uint8_t sharpness = 5;
    int8_t size = 0;
    int8_t offsetX = 5;
    int8_t offsetY = 5;
    LPARAM lastSize = 0;         // the parent's last WM_SIZE lParam
    bool updatePending = false;  // redraw at the parent's next WM_PAINT
    COLORREF color = RGB(0, 0, 0);

private:
    void MoveToParent(HWND parent);
};
