// The controls: common attributes and painting, containers, labels, buttons, edits, progress.

#include <cwchar>
#include <cwctype>

#include "uilib/UiInternal.h"
#include "uilib/UiScale.h"

namespace UiLib {

namespace detail {

CEditUI* FindEditWindow(CControlUI* control, HWND edit) {
    if (auto* e = dynamic_cast<CEditUI*>(control))
        if (e->GetEditWindow() == edit) return e;
    for (int i = 0; i < control->GetCount(); ++i)
        if (CEditUI* found = FindEditWindow(control->GetItemAt(i), edit)) return found;
    return nullptr;
}

DWORD ParseColor(const wchar_t* text) {
    if (!text) return 0;
    while (*text == L' ') ++text;
    if (*text == L'#') ++text;
    const size_t digits = wcslen(text);
    const DWORD value = static_cast<DWORD>(wcstoul(text, nullptr, 16));
    return digits <= 6 ? (0xFF000000 | value) : value;
}

bool ParseRect(const wchar_t* text, RECT* rect) {
    if (!text) return false;
    long v[4] = {0, 0, 0, 0};
    const wchar_t* p = text;
    for (int i = 0; i < 4; ++i) {
        wchar_t* end = nullptr;
        v[i] = wcstol(p, &end, 10);
        if (end == p) return false;
        p = end;
        while (*p == L' ' || *p == L',') ++p;
    }
    *rect = RECT{v[0], v[1], v[2], v[3]};
    return true;
}

bool ParseBool(const wchar_t* text) {
    return text && (_wcsicmp(text, L"true") == 0 || wcscmp(text, L"1") == 0);
}

void SyncNativeChildren(CControlUI* control) {
    if (!control) return;
    if (auto* edit = dynamic_cast<CEditUI*>(control)) edit->Sync();
    for (int i = 0; i < control->GetCount(); ++i) SyncNativeChildren(control->GetItemAt(i));
}

}  // namespace detail

namespace {

int DpiOf(const CPaintManagerUI* manager) { return manager ? manager->GetDpi() : kSkinDpi; }

HFONT FontOf(CPaintManagerUI* manager, int id) {
    return manager ? manager->GetFont(id) : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

RECT Inset(const RECT& rc, const RECT& padding) {
    return RECT{rc.left + padding.left, rc.top + padding.top, rc.right - padding.right, rc.bottom - padding.bottom};
}

void InvalidateTree(CControlUI* control) {
    control->Invalidate();
    for (int i = 0; i < control->GetCount(); ++i) InvalidateTree(control->GetItemAt(i));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CControlUI

CControlUI::CControlUI() = default;
CControlUI::~CControlUI() = default;

void CControlUI::SetText(const wchar_t* text) {
    const CDuiString next(text);
    if (next == text_) return;
    text_ = next;
    Invalidate();
    detail::Announce(this, EVENT_OBJECT_NAMECHANGE);
}

bool CControlUI::IsVisible() const {
    return visible_ && (parent_ == nullptr || parent_->IsVisible());
}

void CControlUI::SetVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    Invalidate();
}

void CControlUI::SetEnabled(bool enabled) {
    if (enabled_ == enabled) return;
    enabled_ = enabled;
    Invalidate();
}

void CControlUI::SetPos(RECT pos) {
    if (EqualRect(&pos, &pos_)) return;
    Invalidate();
    pos_ = pos;
    Invalidate();
}

RECT CControlUI::GetScaledPos() const { return manager_ ? manager_->Scale(pos_) : pos_; }

RECT CControlUI::GetTextRect() const {
    const RECT padding = manager_ ? manager_->Scale(padding_) : padding_;
    return Inset(GetScaledPos(), padding);
}

void CControlUI::SetBkImage(const wchar_t* image) {
    const CDuiString next(image);
    if (next == bkImage_) return;
    bkImage_ = next;
    Invalidate();
}

void CControlUI::SetAttribute(const wchar_t* name, const wchar_t* value) {
    if (!name || !value) return;
    RECT rc;
    if (wcscmp(name, L"name") == 0) {
        SetName(value);
    } else if (wcscmp(name, L"pos") == 0) {
        if (detail::ParseRect(value, &rc)) SetPos(rc);
    } else if (wcscmp(name, L"visible") == 0) {
        SetVisible(detail::ParseBool(value));
    } else if (wcscmp(name, L"enabled") == 0) {
        SetEnabled(detail::ParseBool(value));
    } else if (wcscmp(name, L"text") == 0) {
        SetText(value);
    } else if (wcscmp(name, L"font") == 0) {
        font_ = _wtoi(value);
    } else if (wcscmp(name, L"textcolor") == 0) {
        textColor_ = detail::ParseColor(value);
    } else if (wcscmp(name, L"bkcolor") == 0) {
        bkColor_ = detail::ParseColor(value);
    } else if (wcscmp(name, L"bkimage") == 0) {
        SetBkImage(value);
    } else if (wcscmp(name, L"align") == 0) {
        align_ = _wcsicmp(value, L"center") == 0 ? DT_CENTER : _wcsicmp(value, L"right") == 0 ? DT_RIGHT : DT_LEFT;
    } else if (wcscmp(name, L"padding") == 0) {
        if (detail::ParseRect(value, &rc)) padding_ = rc;
    } else if (wcscmp(name, L"tooltip") == 0) {
        toolTip_ = value;
    } else if (wcscmp(name, L"focusinset") == 0) {
        if (detail::ParseRect(value, &rc)) focusInset_ = rc;
    }
    Invalidate();
}

void CControlUI::SetManager(CPaintManagerUI* manager, CControlUI* parent) {
    manager_ = manager;
    parent_ = parent;
}

void CControlUI::DoPaint(HDC dc, const RECT& clip) {
    const RECT pos = GetScaledPos();
    detail::FillColor(dc, pos, clip, bkColor_);
    if (!bkImage_.IsEmpty()) detail::DrawImageAttr(dc, pos, clip, bkImage_.str(), DpiOf(manager_));
    if (!text_.IsEmpty())
        detail::DrawText(dc, GetTextRect(), clip, text_.str(), FontOf(manager_, font_), textColor_, align_);
}

void CControlUI::Invalidate() {
    if (manager_) manager_->Invalidate(GetScaledPos());
}

// ---------------------------------------------------------------------------------------------
// CProgressUI

void CProgressUI::SetValue(int value) {
    if (value < min_) value = min_;
    if (value > max_) value = max_;
    if (value == value_) return;
    value_ = value;
    Invalidate();
    detail::Announce(this, EVENT_OBJECT_VALUECHANGE);
}

void CProgressUI::SetAttribute(const wchar_t* name, const wchar_t* value) {
    if (!name || !value) return;
    if (wcscmp(name, L"min") == 0) {
        min_ = _wtoi(value);
        if (max_ < min_) max_ = min_;
    } else if (wcscmp(name, L"max") == 0) {
        max_ = _wtoi(value);
        if (min_ > max_) min_ = max_;
    } else if (wcscmp(name, L"value") == 0) {
        value_ = _wtoi(value);
    } else if (wcscmp(name, L"foreimage") == 0) {
        foreImage_ = value;
    } else {
        CControlUI::SetAttribute(name, value);
        return;
    }
    if (value_ < min_) value_ = min_;
    if (value_ > max_) value_ = max_;
    Invalidate();
}

void CProgressUI::DoPaint(HDC dc, const RECT& clip) {
    CControlUI::DoPaint(dc, clip);
    if (foreImage_.IsEmpty() || max_ <= min_) return;
    const RECT pos = GetScaledPos();
    const long filled =
        static_cast<long>(static_cast<long long>(value_ - min_) * (pos.right - pos.left) / (max_ - min_));
    const RECT fill = {pos.left, pos.top, pos.left + filled, pos.bottom};
    RECT part;
    if (IntersectRect(&part, &fill, &clip)) detail::DrawImageAttr(dc, pos, part, foreImage_.str(), DpiOf(manager_));
}

// ---------------------------------------------------------------------------------------------
// CContainerUI

CControlUI* CContainerUI::GetItemAt(int index) const {
    return index >= 0 && index < GetCount() ? items_[static_cast<size_t>(index)].get() : nullptr;
}

void CContainerUI::Add(CControlUI* control) {
    items_.emplace_back(control);
}

void CContainerUI::SetVisible(bool visible) {
    if (visible_ == visible) return;
    CControlUI::SetVisible(visible);
    // Children may lie outside the container's own rectangle.
    InvalidateTree(this);
    detail::SyncNativeChildren(this);
}

void CContainerUI::DoPaint(HDC dc, const RECT& clip) {
    CControlUI::DoPaint(dc, clip);
    for (const auto& item : items_) {
        if (!item->IsVisible()) continue;
        // Children get the whole paint clip: their rectangles need not lie inside this one.
        RECT part;
        const RECT pos = item->GetScaledPos();
        if (IntersectRect(&part, &pos, &clip)) item->DoPaint(dc, clip);
    }
}

// ---------------------------------------------------------------------------------------------
// CButtonUI

void CButtonUI::SetAttribute(const wchar_t* name, const wchar_t* value) {
    if (!name || !value) return;
    if (wcscmp(name, L"normalimage") == 0) {
        normalImage_ = value;
    } else if (wcscmp(name, L"hotimage") == 0) {
        hotImage_ = value;
    } else if (wcscmp(name, L"pushedimage") == 0) {
        pushedImage_ = value;
    } else if (wcscmp(name, L"disabledimage") == 0) {
        disabledImage_ = value;
    } else if (wcscmp(name, L"hottextcolor") == 0) {
        hotTextColor_ = detail::ParseColor(value);
    } else if (wcscmp(name, L"default") == 0) {
        default_ = detail::ParseBool(value);
    } else {
        CControlUI::SetAttribute(name, value);
        return;
    }
    Invalidate();
}

void CButtonUI::SetEnabled(bool enabled) {
    if (!enabled) hot_ = pushed_ = false;
    CControlUI::SetEnabled(enabled);
}

void CButtonUI::SetHot(bool hot) {
    if (hot_ == hot) return;
    hot_ = hot;
    Invalidate();
}

void CButtonUI::SetPushed(bool pushed) {
    if (pushed_ == pushed) return;
    pushed_ = pushed;
    Invalidate();
}

void CButtonUI::DoPaint(HDC dc, const RECT& clip) {
    const RECT pos = GetScaledPos();
    detail::FillColor(dc, pos, clip, bkColor_);
    if (!bkImage_.IsEmpty()) detail::DrawImageAttr(dc, pos, clip, bkImage_.str(), DpiOf(manager_));
    const CDuiString* image = &normalImage_;
    if (!enabled_) {
        if (!disabledImage_.IsEmpty()) image = &disabledImage_;
    } else if (pushed_ && hot_ && !pushedImage_.IsEmpty()) {
        image = &pushedImage_;
    } else if ((hot_ || pushed_) && !hotImage_.IsEmpty()) {
        image = &hotImage_;
    }
    if (!image->IsEmpty()) detail::DrawImageAttr(dc, pos, clip, image->str(), DpiOf(manager_));
    if (!text_.IsEmpty()) {
        const DWORD color = enabled_ && hot_ && hotTextColor_ != 0 ? hotTextColor_ : textColor_;
        detail::DrawText(dc, GetTextRect(), clip, text_.str(), FontOf(manager_, font_), color, align_);
    }
}

// ---------------------------------------------------------------------------------------------
// CEditUI

CEditUI::~CEditUI() {
    if (edit_ && IsWindow(edit_)) DestroyWindow(edit_);
}

CDuiString CEditUI::GetText() const {
    if (!edit_ || !IsWindow(edit_)) return text_;
    const int length = GetWindowTextLengthW(edit_);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(edit_, &text[0], length + 1)));
    return CDuiString(std::move(text));
}

void CEditUI::SetText(const wchar_t* text) {
    text_ = CDuiString(text);
    if (edit_) SetWindowTextW(edit_, text_);
    detail::Announce(this, EVENT_OBJECT_VALUECHANGE);
}

void CEditUI::SetVisible(bool visible) {
    CControlUI::SetVisible(visible);
    Sync();
}

void CEditUI::SetEnabled(bool enabled) {
    CControlUI::SetEnabled(enabled);
    Sync();
}

void CEditUI::SetPos(RECT pos) {
    CControlUI::SetPos(pos);
    Sync();
}

void CEditUI::SetAttribute(const wchar_t* name, const wchar_t* value) {
    CControlUI::SetAttribute(name, value);
    if (!name) return;
    if (wcscmp(name, L"bkcolor") == 0) brush_.reset();
    if (wcscmp(name, L"font") == 0) ApplyFont();
    Sync();
}

void CEditUI::ApplyFont() {
    if (edit_) SendMessageW(edit_, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(manager_, font_)), TRUE);
}

void CEditUI::SetManager(CPaintManagerUI* manager, CControlUI* parent) {
    CControlUI::SetManager(manager, parent);
    if (edit_ || !manager || !manager->GetPaintWindow()) return;
    edit_ = CreateWindowExW(0, L"EDIT", text_, WS_CHILD | WS_TABSTOP | ES_AUTOHSCROLL, 0, 0, 0, 0,
                            manager->GetPaintWindow(), nullptr, CPaintManagerUI::GetInstance(), nullptr);
    if (!edit_) return;
    detail::ForwardDialogKeys(edit_);
    SendMessageW(edit_, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(manager_, font_)), FALSE);
    Sync();
}

void CEditUI::Sync() {
    if (!edit_) return;
    // The text sits vertically centred inside the padded rectangle, as labels' text does.
    RECT rc = GetTextRect();
    TEXTMETRICW tm = {};
    {
        const WindowDc dc(edit_);
        const ScopedSelect font(dc.get(), FontOf(manager_, font_));
        GetTextMetricsW(dc.get(), &tm);
    }
    const long lineHeight = tm.tmHeight + ScaleLength(2, DpiOf(manager_));
    if (rc.bottom - rc.top > lineHeight) {
        rc.top += (rc.bottom - rc.top - lineHeight) / 2;
        rc.bottom = rc.top + lineHeight;
    }
    SetWindowPos(edit_, nullptr, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if ((IsWindowEnabled(edit_) != FALSE) != enabled_) EnableWindow(edit_, enabled_);
    const bool show = IsVisible();
    if (((GetWindowLongW(edit_, GWL_STYLE) & WS_VISIBLE) != 0) != show) ::ShowWindow(edit_, show ? SW_SHOWNA : SW_HIDE);
}

HBRUSH CEditUI::PrepareColors(HDC dc) {
    const DWORD bk = (bkColor_ >> 24) != 0 ? bkColor_ : 0xFFFFFFFF;
    if (!brush_) brush_.reset(CreateSolidBrush(detail::ToColorRef(bk)));
    SetTextColor(dc, detail::ToColorRef(textColor_));
    SetBkColor(dc, detail::ToColorRef(bk));
    return static_cast<HBRUSH>(brush_.get());
}

}  // namespace UiLib
