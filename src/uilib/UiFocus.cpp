// The keyboard: the focused control and its mark, Tab, Enter, Space and Escape, the keys typed
// in a native edit, and the tooltips of controls drawn only as images.

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "base/SystemApi.h"
#include "uilib/UiInternal.h"

namespace UiLib {
namespace detail {

namespace {

constexpr wchar_t kEditProcProperty[] = L"UiLib.EditProc";

void CollectFocusable(CControlUI* control, std::vector<CControlUI*>* out) {
    for (int i = 0; i < control->GetCount(); ++i) {
        CControlUI* child = control->GetItemAt(i);
        if (TakesFocus(child)) out->push_back(child);
        CollectFocusable(child, out);
    }
}

CButtonUI* FindDefaultButton(CControlUI* control) {
    for (int i = 0; i < control->GetCount(); ++i) {
        CControlUI* child = control->GetItemAt(i);
        auto* button = dynamic_cast<CButtonUI*>(child);
        if (button && button->IsDefault()) return button;
        if (CButtonUI* found = FindDefaultButton(child)) return found;
    }
    return nullptr;
}

// The mark lies around the control's focus rectangle, no further out than this.
constexpr int kMarkReach = 5;

RECT MarkRect(const CControlUI* control) {
    const RECT pos = control->GetScaledPos();
    RECT inset = control->GetFocusInset();
    if (const CPaintManagerUI* manager = control->GetManager()) inset = manager->Scale(inset);
    return RECT{pos.left + inset.left, pos.top + inset.top, pos.right - inset.right, pos.bottom - inset.bottom};
}

bool IsDialogKey(WPARAM key) { return key == VK_TAB || key == VK_RETURN || key == VK_ESCAPE; }

LRESULT CALLBACK EditProc(HWND edit, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    const auto previous = reinterpret_cast<WNDPROC>(::GetPropW(edit, kEditProcProperty));
    if (previous == nullptr) return ::DefWindowProcW(edit, uMsg, wParam, lParam);
    switch (uMsg) {
    case WM_KEYDOWN:
        if (IsDialogKey(wParam)) return ::SendMessageW(::GetParent(edit), uMsg, wParam, lParam);
        break;
    case WM_CHAR:
        if (wParam == L'\t' || wParam == L'\r' || wParam == 0x1B) return 0;  // handled above, no beep
        break;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        ::RemovePropW(edit, kEditProcProperty);
        break;
    default:
        break;
    }
    return ::CallWindowProcW(previous, edit, uMsg, wParam, lParam);
}

}  // namespace

bool TakesFocus(const CControlUI* control) {
    if (!control || !control->IsVisible() || !control->IsEnabled()) return false;
    return dynamic_cast<const CButtonUI*>(control) != nullptr || dynamic_cast<const CEditUI*>(control) != nullptr;
}

void ForwardDialogKeys(HWND edit) {
    const LONG_PTR previous = ::GetWindowLongPtrW(edit, GWLP_WNDPROC);
    if (previous == 0 || !::SetPropW(edit, kEditProcProperty, reinterpret_cast<HANDLE>(previous))) return;
    if (::SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EditProc)) == 0)
        ::RemovePropW(edit, kEditProcProperty);
}

FocusKeeper::FocusKeeper(CPaintManagerUI* manager) : manager_(manager) {}

FocusKeeper::~FocusKeeper() {
    if (accessible_) DisconnectAccessible(accessible_);
    if (toolTip_ && ::IsWindow(toolTip_)) ::DestroyWindow(toolTip_);
}

void FocusKeeper::Forget() {
    focused_ = spacePressed_ = toolTipOf_ = nullptr;
    focusAnnounced_ = false;
}

CControlUI* FocusKeeper::Focused() {
    if (TakesFocus(focused_)) return focused_;
    std::vector<CControlUI*> order;
    if (CControlUI* root = manager_->GetRoot()) CollectFocusable(root, &order);
    SetFocus(order.empty() ? nullptr : order.front());
    return focused_;
}

void FocusKeeper::SetFocus(CControlUI* control) {
    const HWND window = manager_->GetPaintWindow();
    auto* edit = dynamic_cast<CEditUI*>(control);
    if (control != focused_) {
        InvalidateMark();
        focused_ = control;
        spacePressed_ = nullptr;
        InvalidateMark();
        focusAnnounced_ = false;
    }
    const HWND now = ::GetFocus();
    const bool ours = now != nullptr && (now == window || ::IsChild(window, now));
    if (edit && edit->GetEditWindow() && ours && now != edit->GetEditWindow()) {
        ::SetFocus(edit->GetEditWindow());
    } else if (!edit && ours && now != window) {
        ::SetFocus(window);  // out of the edit, as a pressed button takes the focus
    }
    if (!focusAnnounced_) AnnounceFocus();
}

void FocusKeeper::AnnounceFocus() {
    const HWND window = manager_->GetPaintWindow();
    const HWND now = ::GetFocus();
    if (!focused_ || now == nullptr || (now != window && !::IsChild(window, now))) return;
    focusAnnounced_ = true;
    Announce(focused_, EVENT_OBJECT_FOCUS);
}

void FocusKeeper::Move(bool backwards) {
    std::vector<CControlUI*> order;
    if (CControlUI* root = manager_->GetRoot()) CollectFocusable(root, &order);
    if (order.empty()) return;
    CControlUI* current = Focused();
    size_t at = 0;
    while (at < order.size() && order[at] != current) ++at;
    const size_t n = order.size();
    size_t next = 0;
    if (at == n) next = backwards ? n - 1 : 0;
    else next = backwards ? (at + n - 1) % n : (at + 1) % n;
    SetFocus(order[next]);
}

void FocusKeeper::ShowMark() {
    if (!hideMark_) return;
    hideMark_ = false;
    InvalidateMark();
    // The system's own state follows, for the native children.
    ::SendMessageW(manager_->GetPaintWindow(), WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

void FocusKeeper::InvalidateMark() {
    if (!focused_) return;
    RECT rc = MarkRect(focused_);
    InflateRect(&rc, manager_->Scale(kMarkReach), manager_->Scale(kMarkReach));
    manager_->Invalidate(rc);
}

void FocusKeeper::PaintMark(HDC dc, const RECT& area) {
    if (hideMark_ || !TakesFocus(focused_)) return;
    const RECT rc = MarkRect(focused_);
    RECT part;
    RECT outer = rc;
    InflateRect(&outer, manager_->Scale(kMarkReach), manager_->Scale(kMarkReach));
    if (!IntersectRect(&part, &outer, &area)) return;
    if ((markColor_ >> 24) == 0) {
        ::DrawFocusRect(dc, &rc);
        return;
    }
    // Rounded rings just outside the control, a pill on a wide one and a circle on a square one:
    // a white one, seen on dark parts of the skin, inside one of the skin's colour, seen on light parts.
    const ScopedSelect selectedBrush(dc, ::GetStockObject(NULL_BRUSH));
    const struct {
        int out, width;
        COLORREF color;
    } rings[] = {{4, 1, ToColorRef(markColor_)}, {2, 2, RGB(255, 255, 255)}};
    for (const auto& ring : rings) {
        const UniqueGdiObject pen(::CreatePen(PS_SOLID, manager_->Scale(ring.width), ring.color));
        if (!pen) return;
        const ScopedSelect selectedPen(dc, pen.get());
        RECT r = rc;
        InflateRect(&r, manager_->Scale(ring.out), manager_->Scale(ring.out));
        const int diameter = std::min(r.right - r.left, r.bottom - r.top);
        ::RoundRect(dc, r.left, r.top, r.right, r.bottom, diameter, diameter);
    }
}

void FocusKeeper::Hover(CControlUI* control) {
    if (control == toolTipOf_) return;
    toolTipOf_ = control;
    const HWND window = manager_->GetPaintWindow();
    const bool wanted = control != nullptr && !control->GetToolTip().IsEmpty();
    if (!toolTip_) {
        if (!wanted) return;
        INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_WIN95_CLASSES};
        if (!VEXO_SYSTEM_CALL(ComCtl32, InitCommonControlsEx)(&classes)) return;
        toolTip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                                     CPaintManagerUI::GetInstance(), nullptr);
        if (!toolTip_) return;
        TOOLINFOW tool = {};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_SUBCLASS;
        tool.hwnd = window;
        tool.uId = 1;
        tool.lpszText = const_cast<wchar_t*>(L"");
        if (!::SendMessageW(toolTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool))) {
            ::DestroyWindow(toolTip_);
            toolTip_ = nullptr;
            return;
        }
    }
    TOOLINFOW tool = {};
    tool.cbSize = sizeof(tool);
    tool.hwnd = window;
    tool.uId = 1;
    if (wanted) tool.rect = control->GetScaledPos();
    ::SendMessageW(toolTip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
    tool.lpszText = const_cast<wchar_t*>(wanted ? control->GetToolTip().GetData() : L"");
    ::SendMessageW(toolTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    if (!wanted) {
        ::SendMessageW(toolTip_, TTM_POP, 0, 0);
        return;
    }
    // The tooltip saw this move before the tool had its place: it sees it again.
    MSG move = {};
    move.hwnd = window;
    move.message = WM_MOUSEMOVE;
    POINT at = {};
    if (!::GetCursorPos(&at) || !::ScreenToClient(window, &at)) return;
    move.lParam = MAKELPARAM(at.x, at.y);
    move.pt = at;
    ::SendMessageW(toolTip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&move));
}

bool FocusKeeper::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    const HWND window = manager_->GetPaintWindow();
    result = 0;
    switch (uMsg) {
    case WM_SHOWWINDOW:
        // Hidden until a key is pressed, whatever state the system starts the window in.
        if (wParam && hideMark_)
            ::SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_SET, UISF_HIDEFOCUS), 0);
        return false;
    case WM_UPDATEUISTATE:
        if (HIWORD(wParam) & UISF_HIDEFOCUS) {
            const bool hide = LOWORD(wParam) == UIS_SET;
            if (LOWORD(wParam) != UIS_INITIALIZE && hide != hideMark_) {
                hideMark_ = hide;
                InvalidateMark();
            }
        }
        return false;
    case WM_SETFOCUS: {
        focusAnnounced_ = false;
        CControlUI* control = Focused();
        auto* edit = dynamic_cast<CEditUI*>(control);
        if (edit && edit->GetEditWindow()) ::SetFocus(edit->GetEditWindow());
        else if (!focusAnnounced_) AnnounceFocus();
        return false;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == EN_SETFOCUS && manager_->GetRoot()) {
            if (CEditUI* edit = FindEditWindow(manager_->GetRoot(), reinterpret_cast<HWND>(lParam))) {
                if (edit != focused_) SetFocus(edit);
            }
        }
        return false;
    case WM_KEYDOWN: {
        const bool repeated = (lParam & (1 << 30)) != 0;
        switch (wParam) {
        case VK_TAB:
            ShowMark();
            Move(::GetKeyState(VK_SHIFT) < 0);
            return true;
        case VK_RETURN: {
            ShowMark();
            if (repeated) return true;
            CControlUI* control = Focused();
            if (dynamic_cast<CEditUI*>(control) && manager_->GetRoot())
                control = FindDefaultButton(manager_->GetRoot());
            manager_->Click(control);
            return true;
        }
        case VK_SPACE:
            ShowMark();
            if (!repeated) spacePressed_ = dynamic_cast<CButtonUI*>(Focused());
            return true;
        case VK_ESCAPE:
            ShowMark();
            if (!repeated) ::SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
            return true;
        default:
            return false;
        }
    }
    case WM_KEYUP:
        if (wParam != VK_SPACE) return false;
        // As a button does: pressed and released on the same control.
        if (spacePressed_ && spacePressed_ == Focused()) {
            CControlUI* control = spacePressed_;
            spacePressed_ = nullptr;
            manager_->Click(control);
        }
        return true;
    case WM_GETOBJECT: {
        bool handled = false;
        result = AnswerGetObject(manager_, this, &accessible_, wParam, lParam, &handled);
        return handled;
    }
    case WM_DESTROY:
        if (accessible_) {
            DisconnectAccessible(accessible_);
            accessible_ = nullptr;
        }
        return false;
    default:
        return AccessibleClick(manager_, uMsg, wParam);
    }
}

}  // namespace detail
}  // namespace UiLib
