// Windows: the window-procedure wrapper, the skinned window base and the tray icon.

#include <windows.h>

#include <shellapi.h>

#include "uilib/UiInternal.h"

namespace UiLib {

// ---------------------------------------------------------------------------------------------
// CDuiTrayIcon

bool CDuiTrayIcon::CreateTrayIcon(HWND owner, UINT iconId, const wchar_t* tip, UINT callbackMessage) {
    DeleteTrayIcon();
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = owner;
    data.uID = iconId;
    data.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    data.uCallbackMessage = callbackMessage;
    data.hIcon = LoadIconW(CPaintManagerUI::GetInstance(), MAKEINTRESOURCEW(iconId));
    if (!data.hIcon) data.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    if (tip) lstrcpynW(data.szTip, tip, ARRAYSIZE(data.szTip));
    if (!Shell_NotifyIconW(NIM_ADD, &data)) return false;
    owner_ = owner;
    id_ = iconId;
    visible_ = true;
    return true;
}

void CDuiTrayIcon::DeleteTrayIcon() {
    if (!visible_) return;
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = owner_;
    data.uID = id_;
    Shell_NotifyIconW(NIM_DELETE, &data);
    visible_ = false;
}

// ---------------------------------------------------------------------------------------------
// CWindowWnd

HWND CWindowWnd::Create(HWND parent, const wchar_t* name, DWORD style, DWORD exStyle, int x, int y, int cx, int cy,
                        HMENU menu) {
    HINSTANCE instance = CPaintManagerUI::GetInstance();
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof(existing);
    if (!GetClassInfoExW(instance, WindowClassName(), &existing)) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.style = GetClassStyle();
        wc.lpfnWndProc = &CWindowWnd::WindowProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = WindowClassName();
        if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    }
    return CreateWindowExW(exStyle, WindowClassName(), name, style, x, y, cx, cy, parent, menu, instance, this);
}

void CWindowWnd::ShowWindow(bool show, bool takeFocus) {
    if (!hwnd_) return;
    ::ShowWindow(hwnd_, show ? (takeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

void CWindowWnd::CenterWindow() {
    if (!hwnd_) return;
    RECT window;
    GetWindowRect(hwnd_, &window);
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &info))
        area = info.rcWork;
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const int width = window.right - window.left, height = window.bottom - window.top;
    int x = area.left + (area.right - area.left - width) / 2;
    int y = area.top + (area.bottom - area.top - height) / 2;
    if (x < area.left) x = area.left;
    if (y < area.top) y = area.top;
    SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowWnd::ResizeClient(int cx, int cy) {
    if (!hwnd_) return;
    RECT client;
    GetClientRect(hwnd_, &client);
    if (cx < 0) cx = client.right;
    if (cy < 0) cy = client.bottom;
    RECT rc = {0, 0, cx, cy};
    RECT window;
    GetWindowRect(hwnd_, &window);
    if (!IsIconic(hwnd_)) {
        // The frame the window really has: a skinned window's client area is the whole window
        // even with WS_CAPTION in its style, which AdjustWindowRectEx would count.
        rc.right += (window.right - window.left) - client.right;
        rc.bottom += (window.bottom - window.top) - client.bottom;
    } else {
        AdjustWindowRectEx(&rc, static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_STYLE)), GetMenu(hwnd_) != nullptr,
                           static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_EXSTYLE)));
    }
    SetWindowPos(hwnd_, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowWnd::Close(UINT result) {
    if (hwnd_) ::PostMessageW(hwnd_, WM_CLOSE, result, 0);
}

LRESULT CWindowWnd::SendMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return ::SendMessageW(hwnd_, uMsg, wParam, lParam);
}

LRESULT CWindowWnd::PostMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(hwnd_, uMsg, wParam, lParam);
}

LRESULT CWindowWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(hwnd_, uMsg, wParam, lParam);
}

LRESULT CALLBACK CWindowWnd::WindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    CWindowWnd* self = nullptr;
    if (uMsg == WM_NCCREATE) {
        self = static_cast<CWindowWnd*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        if (self) {
            self->hwnd_ = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    } else {
        self = reinterpret_cast<CWindowWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    }
    if (!self) return DefWindowProcW(hwnd, uMsg, wParam, lParam);
    // Nothing may unwind through the system's code.
    LRESULT result = 0;
    try {
        result = self->HandleMessage(uMsg, wParam, lParam);
    } catch (...) {
        result = DefWindowProcW(hwnd, uMsg, wParam, lParam);
    }
    if (uMsg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        try {
            self->OnFinalMessage(hwnd);
        } catch (...) {
        }
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// WindowImplBase

WindowImplBase::~WindowImplBase() {
    m_PaintManager.GetTrayObject().DeleteTrayIcon();
    if (hwnd_ && IsWindow(hwnd_)) {
        // The object goes first: the window's last messages see only the system's handling.
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
}

LONG WindowImplBase::GetStyle() {
    // Children are clipped out of the double-buffered painting (the native edit boxes).
    const LONG style = hwnd_ ? GetWindowLongW(hwnd_, GWL_STYLE) : 0;
    return style | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
}

void WindowImplBase::Notify(TNotifyUI& msg) {
    if (msg.sType == L"click") OnClick(msg);
}

LRESULT WindowImplBase::MessageHandler(UINT, WPARAM, LPARAM, bool& handled) {
    handled = false;
    return 0;
}

CControlUI* WindowImplBase::CreateControl(const wchar_t*) {
    return nullptr;
}

namespace {

void ApplyRoundCorner(HWND hwnd, SIZE corner) {
    if (corner.cx <= 0 || corner.cy <= 0 || IsIconic(hwnd)) return;
    RECT rc;
    GetWindowRect(hwnd, &rc);
    UniqueGdiObject region(CreateRoundRectRgn(0, 0, rc.right - rc.left + 1, rc.bottom - rc.top + 1, corner.cx, corner.cy));
    // The system owns the region once it is the window's.
    if (region && SetWindowRgn(hwnd, static_cast<HRGN>(region.get()), TRUE)) region.release();
}

}  // namespace

SIZE WindowImplBase::RoundCorner() const {
    const SIZE corner = m_PaintManager.GetRoundCorner();
    return SIZE{m_PaintManager.Scale(corner.cx), m_PaintManager.Scale(corner.cy)};
}

LRESULT WindowImplBase::OnCreate(UINT, WPARAM, LPARAM, BOOL& handled) {
    handled = TRUE;
    SetWindowLongW(hwnd_, GWL_STYLE, GetStyle());
    m_PaintManager.Init(hwnd_);
    m_PaintManager.AddNotifier(this);
    m_PaintManager.AddMessageFilter(this);
    std::wstring skin = SkinFolder().str();
    if (!skin.empty() && skin.back() != L'\\' && skin.back() != L'/') skin += L'\\';
    skin += SkinFile().str();
    m_PaintManager.LoadSkin(skin.c_str(), this);
    const SIZE size = m_PaintManager.GetInitSize();
    if (size.cx > 0 && size.cy > 0) ResizeClient(m_PaintManager.Scale(size.cx), m_PaintManager.Scale(size.cy));
    ApplyRoundCorner(hwnd_, RoundCorner());
    OnWindowCreated();
    m_PaintManager.SendNotify(m_PaintManager.GetRoot(), L"windowinit");
    return 0;
}

LRESULT WindowImplBase::OnClose(UINT, WPARAM, LPARAM, BOOL& handled) {
    handled = FALSE;  // the system's handling destroys the window
    return 0;
}

LRESULT WindowImplBase::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    handled = FALSE;
    // A top-level skinned window is the program's window: its end ends the message loop.
    if (!(GetWindowLongW(hwnd_, GWL_STYLE) & WS_CHILD) && !GetParent(hwnd_)) PostQuitMessage(0);
    return 0;
}

LRESULT WindowImplBase::OnSize(UINT, WPARAM wParam, LPARAM, BOOL& handled) {
    handled = FALSE;  // the paint manager lays the root out too
    if (wParam != SIZE_MINIMIZED) ApplyRoundCorner(hwnd_, RoundCorner());
    return 0;
}

LRESULT WindowImplBase::OnSysCommand(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    handled = TRUE;
    return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

LRESULT WindowImplBase::HandleCustomMessage(UINT, WPARAM, LPARAM, BOOL& handled) {
    handled = FALSE;
    return 0;
}

LRESULT WindowImplBase::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    BOOL handled = TRUE;
    LRESULT result = 0;
    switch (uMsg) {
    case WM_CREATE:
        result = OnCreate(uMsg, wParam, lParam, handled);
        break;
    case WM_CLOSE:
        result = OnClose(uMsg, wParam, lParam, handled);
        break;
    case WM_DESTROY:
        result = OnDestroy(uMsg, wParam, lParam, handled);
        break;
    case WM_SIZE:
        result = OnSize(uMsg, wParam, lParam, handled);
        break;
    case WM_SYSCOMMAND:
        result = OnSysCommand(uMsg, wParam, lParam, handled);
        break;
    // No system frame or caption: the client area is the whole window and is all skin.
    case WM_NCCALCSIZE:
        return 0;
    case WM_NCACTIVATE:
        return IsIconic(hwnd_) ? CWindowWnd::HandleMessage(uMsg, wParam, lParam) : TRUE;
    case WM_NCPAINT:
        return 0;
    default:
        handled = FALSE;
        break;
    }
    if (handled) return result;
    result = HandleCustomMessage(uMsg, wParam, lParam, handled);
    if (handled) return result;
    if (m_PaintManager.MessageHandler(uMsg, wParam, lParam, result)) return result;
    return CWindowWnd::HandleMessage(uMsg, wParam, lParam);
}

}  // namespace UiLib
