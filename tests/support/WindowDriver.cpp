#include "WindowDriver.h"

#include <objidl.h>  // PROPID, which the lean windows.h leaves out
// after objidl.h, which it needs
#include <gdiplus.h>

#include "TestFiles.h"
#include "uilib/UiLib.h"

void PumpFor(DWORD ms) {
    const DWORD start = ::GetTickCount();
    MSG msg;
    do {
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (::GetTickCount() - start < ms);
}

void PostClick(HWND window, POINT pt) {
    const LPARAM at = MAKELPARAM(pt.x, pt.y);
    ::PostMessageW(window, WM_MOUSEMOVE, 0, at);
    ::PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
    ::PostMessageW(window, WM_LBUTTONUP, 0, at);
}

SIZE ClientSize(HWND window) {
    RECT r = {};
    ::GetClientRect(window, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

namespace {

struct WindowSearch {
    DWORD pid;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK FindWindowProc(HWND hwnd, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    wchar_t cls[64] = {};
    ::GetClassNameW(hwnd, cls, 64);
    if (pid == search->pid && ::IsWindowVisible(hwnd) && lstrcmpW(cls, search->className) == 0) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindTextProc(HWND child, LPARAM param) {
    wchar_t cls[16] = {};
    ::GetClassNameW(child, cls, 16);
    if (lstrcmpiW(cls, L"Static") != 0) return TRUE;
    if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) return TRUE;
    wchar_t text[512] = {};
    ::GetWindowTextW(child, text, 512);
    if (text[0] != L'\0') {
        *reinterpret_cast<std::wstring*>(param) = text;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND FindProcessWindow(DWORD pid, const wchar_t* className) {
    WindowSearch search = {pid, className, nullptr};
    ::EnumWindows(FindWindowProc, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindMessageBox(DWORD pid) { return FindProcessWindow(pid, L"#32770"); }

BoxAnswerer::BoxAnswerer(DWORD pid, int answer, DWORD timeoutMs) : pid_(pid), answer_(answer), timeoutMs_(timeoutMs) {
    thread_ = ::CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

BoxAnswerer::~BoxAnswerer() {
    if (thread_ != nullptr) {
        ::WaitForSingleObject(thread_, timeoutMs_ + 1000);
        ::CloseHandle(thread_);
    }
}

bool BoxAnswerer::Wait(DWORD timeoutMs) {
    if (thread_ == nullptr) return false;
    // The box runs on the waiting thread's own message loop when it is ours: keep pumping.
    const DWORD start = ::GetTickCount();
    while (::MsgWaitForMultipleObjects(1, &thread_, FALSE, 10, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (::GetTickCount() - start > timeoutMs) return false;
    }
    return found_;
}

DWORD WINAPI BoxAnswerer::Run(LPVOID param) {
    auto* self = static_cast<BoxAnswerer*>(param);
    const DWORD start = ::GetTickCount();
    HWND box = nullptr;
    while ((box = FindMessageBox(self->pid_)) == nullptr) {
        if (::GetTickCount() - start > self->timeoutMs_) return 0;
        ::Sleep(20);
    }
    ::Sleep(100);  // let the box finish laying itself out
    self->found_ = ReadMessageBox(box, &self->seen_);
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(self->answer_, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box, self->answer_)));
    return 0;
}

bool ReadMessageBox(HWND box, SeenBox* seen) {
    if (!::IsWindow(box)) return false;
    wchar_t caption[256] = {};
    ::GetWindowTextW(box, caption, 256);
    seen->caption = caption;
    seen->text.clear();
    ::EnumChildWindows(box, FindTextProc, reinterpret_cast<LPARAM>(&seen->text));
    seen->hasOk = ::GetDlgItem(box, IDOK) != nullptr;
    seen->hasCancel = ::GetDlgItem(box, IDCANCEL) != nullptr;
    return true;
}

POINT SkinCentre(const wchar_t* name) {
    // The same skin, read by the same library in this process.
    UiLib::CPaintManagerUI::SetResourcePath((WinPathFromEnv(L"VEXO_SKIN_DIR") + L"\\").c_str());
    UiLib::CPaintManagerUI::SetResourceZip(L"res.zip", false);
    UiLib::CPaintManagerUI skin;
    UiLib::CControlUI* control = skin.LoadSkin(L"MainFrame.xml", nullptr) ? skin.FindControl(name) : nullptr;
    if (control == nullptr) return POINT{-1, -1};
    const RECT r = control->GetPos();
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

namespace {

bool PngEncoder(CLSID* clsid) {
    UINT count = 0, bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
    std::string buffer(bytes, '\0');
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(&buffer[0]);
    if (Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i) {
        if (lstrcmpW(encoders[i].MimeType, L"image/png") == 0) {
            *clsid = encoders[i].Clsid;
            return true;
        }
    }
    return false;
}

}  // namespace

bool SaveWindowPng(HWND window, const std::wstring& path) {
    RECT r = {};
    if (!::GetWindowRect(window, &r)) return false;
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return false;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
    bool saved = false;
    {
        HDC screen = ::GetDC(nullptr);
        HDC memory = ::CreateCompatibleDC(screen);
        HBITMAP bitmap = ::CreateCompatibleBitmap(screen, w, h);
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        ::SelectObject(memory, old);
        CLSID png;
        if (PngEncoder(&png)) {
            Gdiplus::Bitmap image(bitmap, nullptr);
            saved = image.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
        }
        ::DeleteObject(bitmap);
        ::DeleteDC(memory);
        ::ReleaseDC(nullptr, screen);
    }
    Gdiplus::GdiplusShutdown(token);
    return saved;
}

std::wstring ScreenshotPath(const std::wstring& name) {
    const std::wstring folder = WinPathFromEnv(L"VEXO_SCREENSHOTS");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\" + name;
}
