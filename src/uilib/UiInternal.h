#pragma once
// Inner parts of the UI library: the control classes the skin names beyond the public ones,
// image and text drawing, and value parsing. Not for use outside src/uilib.

#include <memory>
#include <string>
#include <vector>

#include "base/Owners.h"
#include "uilib/UiLib.h"

namespace UiLib {

// Holds children; hiding it hides them. The manager's root is one too.
class CContainerUI : public CControlUI {
public:
    const wchar_t* GetClass() const override { return L"Container"; }
    int GetCount() const override { return static_cast<int>(items_.size()); }
    CControlUI* GetItemAt(int index) const override;
    void Add(CControlUI* control);  // takes ownership
    void SetVisible(bool visible) override;
    void DoPaint(HDC dc, const RECT& clip) override;

private:
    std::vector<std::unique_ptr<CControlUI>> items_;
};

class CLabelUI : public CControlUI {
public:
    const wchar_t* GetClass() const override { return L"Label"; }
};

class CButtonUI : public CControlUI {
public:
    const wchar_t* GetClass() const override { return L"Button"; }
    void SetAttribute(const wchar_t* name, const wchar_t* value) override;
    void SetEnabled(bool enabled) override;
    void DoPaint(HDC dc, const RECT& clip) override;
    // Mouse state, kept by the manager.
    void SetHot(bool hot);
    void SetPushed(bool pushed);

private:
    CDuiString normalImage_, hotImage_, pushedImage_, disabledImage_;
    DWORD hotTextColor_ = 0;
    bool hot_ = false;
    bool pushed_ = false;
};

// A native EDIT child window at the control's rectangle.
class CEditUI : public CControlUI {
public:
    ~CEditUI() override;
    const wchar_t* GetClass() const override { return L"Edit"; }
    CDuiString GetText() const override;
    void SetText(const wchar_t* text) override;
    void SetVisible(bool visible) override;
    void SetEnabled(bool enabled) override;
    void SetPos(RECT pos) override;
    void SetAttribute(const wchar_t* name, const wchar_t* value) override;
    void SetManager(CPaintManagerUI* manager, CControlUI* parent) override;

    HWND GetEditWindow() const { return edit_; }
    // Gives the native window the manager's font again (the DPI changed).
    void ApplyFont();
    // Shows, hides, enables and places the native window after a change here or above.
    void Sync();
    // Colours for WM_CTLCOLOREDIT / WM_CTLCOLORSTATIC.
    HBRUSH PrepareColors(HDC dc);

private:
    HWND edit_ = nullptr;
    UniqueGdiObject brush_;
};

namespace detail {

// Runs Sync on every edit in the subtree of `control` (visibility or enabling changed above it).
void SyncNativeChildren(CControlUI* control);

// "#AARRGGBB" (or "#RRGGBB", opaque) to 0xAARRGGBB.
DWORD ParseColor(const wchar_t* text);
// "l,t,r,b"; false when fewer than four numbers.
bool ParseRect(const wchar_t* text, RECT* rect);
bool ParseBool(const wchar_t* text);
inline COLORREF ToColorRef(DWORD argb) {
    return RGB((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF);
}

// Fills `rect` (clipped to `clip`) with an ARGB colour; alpha 0 draws nothing.
void FillColor(HDC dc, const RECT& rect, const RECT& clip, DWORD argb);
// Draws an image attribute text ("a.png" or "file='a.png' source='..' dest='..'") into the
// control rectangle `box` (client pixels at `dpi`; source and dest are in skin pixels), clipped to
// `clip`. False when the image cannot be loaded.
bool DrawImageAttr(HDC dc, const RECT& box, const RECT& clip, const std::wstring& attr, int dpi);
// Single-line, vertically centred text with an end ellipsis.
void DrawText(HDC dc, const RECT& rect, const RECT& clip, const std::wstring& text, HFONT font, DWORD argb,
              UINT align);

// Drops every decoded image (the resource archive changed).
void ClearImageCache();

}  // namespace detail
}  // namespace UiLib
