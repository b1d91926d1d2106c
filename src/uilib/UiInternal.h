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
    // Enter in an edit presses the default button.
    bool IsDefault() const { return default_; }

private:
    CDuiString normalImage_, hotImage_, pushedImage_, disabledImage_;
    DWORD hotTextColor_ = 0;
    bool default_ = false;
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

class AccessibleWindow;

// The keyboard side of one window: the focused control, its mark (hidden until the first key
// press, as Windows' UISF_HIDEFOCUS), the keys, the tooltips and the accessibility object.
class FocusKeeper {
public:
    explicit FocusKeeper(CPaintManagerUI* manager);
    ~FocusKeeper();
    FocusKeeper(const FocusKeeper&) = delete;
    FocusKeeper& operator=(const FocusKeeper&) = delete;

    // The focused control; when it can no longer take the focus (hidden, disabled), the first
    // one that can, in skin order.
    CControlUI* Focused();
    CControlUI* FocusedAsIs() const { return focused_; }
    void SetFocus(CControlUI* control);
    // The controls were replaced: nothing is focused or hot.
    void Forget();
    // Keys, WM_GETOBJECT, focus and UI-state messages, tooltips; true when handled.
    bool HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // The mouse is over `control` (null: over none); its tooltip follows.
    void Hover(CControlUI* control);
    void PaintMark(HDC dc, const RECT& area);
    // Window settings from the skin.
    void SetMarkColor(DWORD argb) { markColor_ = argb; }

private:
    void Move(bool backwards);
    void ShowMark();
    void InvalidateMark();
    void AnnounceFocus();

    CPaintManagerUI* manager_;
    CControlUI* focused_ = nullptr;
    CControlUI* spacePressed_ = nullptr;
    bool hideMark_ = true;
    bool focusAnnounced_ = false;
    DWORD markColor_ = 0;
    HWND toolTip_ = nullptr;
    CControlUI* toolTipOf_ = nullptr;
    AccessibleWindow* accessible_ = nullptr;  // one reference held; disconnected when the window goes
};

// Whether `control` can take the keyboard focus now: a visible, enabled button or edit.
bool TakesFocus(const CControlUI* control);
// Sends Tab, Enter and Escape typed in a native edit to its parent window, as a dialog would.
void ForwardDialogKeys(HWND edit);
// Tells screen readers that `control` changed (EVENT_OBJECT_VALUECHANGE, NAMECHANGE, SHOW, HIDE,
// FOCUS).
void Announce(const CControlUI* control, DWORD event);
// The WM_GETOBJECT answer of the client area; `*object` is made on first use.
LRESULT AnswerGetObject(CPaintManagerUI* manager, FocusKeeper* keeper, AccessibleWindow** object, WPARAM wParam,
                        LPARAM lParam, bool* handled);
// Cuts the object off from the window, which is going away.
void DisconnectAccessible(AccessibleWindow* object);
// A button pressed by a screen reader is clicked from the message loop, so the reader's call
// returns before any message box the click opens; true when `uMsg` was that press.
bool AccessibleClick(CPaintManagerUI* manager, UINT uMsg, WPARAM wParam);

// Runs Sync on every edit in the subtree of `control` (visibility or enabling changed above it).
void SyncNativeChildren(CControlUI* control);
// The edit in the subtree of `control` whose native window is `edit`; null when none.
CEditUI* FindEditWindow(CControlUI* control, HWND edit);

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
