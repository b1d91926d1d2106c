// The paint manager: skin resources (archive reading, XML, fonts), the control tree, painting,
// mouse handling, per-control timers and notifications.

#include <windows.h>

#include <windowsx.h>

#include <cstring>
#include <cwctype>

#include <expat.h>

#include "archive/ZipReader.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "uilib/UiInternal.h"
#include "uilib/UiScale.h"

namespace UiLib {

namespace {

HINSTANCE g_instance = nullptr;
CDuiString g_resourcePath;
CDuiString g_resourceZip;
bool g_zipCached = false;
HANDLE g_heldZip = nullptr;  // the caller's, when it holds the skin archive open
UniqueArchive g_archive;  // open between reads when the zip is cached

std::wstring Widen(const char* text) { return text ? ToWide(text, std::strlen(text), CP_UTF8) : std::wstring(); }

// Entry names compare without case and with either slash.
std::wstring NormalName(const wchar_t* name) {
    std::wstring out(name ? name : L"");
    for (auto& c : out) c = c == L'\\' ? L'/' : static_cast<wchar_t>(towlower(c));
    while (!out.empty() && out[0] == L'/') out.erase(0, 1);
    return out;
}

bool ReadFileBytes(const wchar_t* path, std::string* bytes) {
    const UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    bool ok = true;
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    while ((ok = ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) != FALSE) && got > 0)
        bytes->append(buffer, got);
    return ok;
}

// A skin file larger than this is not a skin file.
constexpr uint32_t kMaxSkinFileBytes = 32u << 20;

// Reads one entry of the skin archive into memory.
bool ReadArchiveEntry(ArchiveHandle* archive, const wchar_t* name, std::string* bytes) {
    ArchiveEntry entry = {};
    if (GetArchiveEntry(archive, -1, &entry) != kArchiveOk) return false;
    const int count = entry.index;
    const std::wstring wanted = NormalName(name);
    int index = -1;
    for (int i = 0; i < count && index < 0; ++i) {
        if (GetArchiveEntry(archive, i, &entry) == kArchiveOk && NormalName(entry.name) == wanted) index = i;
    }
    if (index < 0 || (entry.attr & FILE_ATTRIBUTE_DIRECTORY)) return false;
    return ReadEntryToMemory(archive, index, bytes, kMaxSkinFileBytes) == kArchiveOk;
}

void CloseCachedArchive() { g_archive.reset(); }

bool TakesInput(CControlUI* control) {
    return control->IsEnabled() && (dynamic_cast<CButtonUI*>(control) || dynamic_cast<CEditUI*>(control));
}

CControlUI* FindByName(CControlUI* control, const std::wstring& name) {
    for (int i = 0; i < control->GetCount(); ++i) {
        CControlUI* child = control->GetItemAt(i);
        if (child->GetName().str() == name) return child;
        if (CControlUI* found = FindByName(child, name)) return found;
    }
    return nullptr;
}

// Later controls are drawn on top, so they are asked first.
CControlUI* FindAt(CControlUI* control, POINT pt) {
    if (!control->IsVisible()) return nullptr;
    for (int i = control->GetCount() - 1; i >= 0; --i) {
        if (CControlUI* found = FindAt(control->GetItemAt(i), pt)) return found;
    }
    const RECT pos = control->GetScaledPos();
    return TakesInput(control) && PtInRect(&pos, pt) ? control : nullptr;
}

void ForEachEdit(CControlUI* control, void (*action)(CEditUI*)) {
    if (auto* e = dynamic_cast<CEditUI*>(control)) action(e);
    for (int i = 0; i < control->GetCount(); ++i) ForEachEdit(control->GetItemAt(i), action);
}

// A skin font: kept, so it can be made again at another DPI.
struct FontTraits {
    std::wstring face = L"Microsoft YaHei";
    int size = 12;  // pixels at 96 DPI
    bool bold = false, italic = false, underline = false;
};

HFONT MakeFont(const FontTraits& traits, int dpi) {
    return CreateFontW(-ScaleLength(traits.size, dpi), 0, 0, 0, traits.bold ? FW_BOLD : FW_NORMAL, traits.italic,
                       traits.underline, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, traits.face.c_str());
}

}  // namespace

struct CPaintManagerUI::Impl {
    struct Timer {
        CControlUI* control;
        UINT id;
        UINT systemId;
    };

    std::unique_ptr<CContainerUI> root;
    std::map<int, UniqueGdiObject> fonts;  // outlived by nothing: the root (its edits use them) goes first
    std::map<int, FontTraits> fontTraits;
    std::vector<INotifyUI*> notifiers;
    std::vector<IMessageFilterUI*> filters;
    std::vector<Timer> timers;
    UINT nextTimerId = 0x5500;
    CButtonUI* hot = nullptr;
    CButtonUI* pushed = nullptr;
    bool trackingLeave = false;
    std::unique_ptr<detail::FocusKeeper> keys;

    void NewRoot(HWND window) {
        hot = pushed = nullptr;
        if (keys) keys->Forget();
        root.reset();  // its edits go first: they use the fonts
        fonts.clear();
        fontTraits.clear();
        root.reset(new CContainerUI());
        root->SetAttribute(L"bkcolor", L"#FFFFFFFF");
        RECT rc = {0, 0, 0, 0};
        if (window) GetClientRect(window, &rc);
        root->SetPos(rc);
    }

    // The root covers the client area, which is in client pixels.
    void FitRoot(HWND window, int dpi) {
        RECT rc;
        if (!root || !GetClientRect(window, &rc)) return;
        root->SetPos(UnscaleRect(rc, dpi));
    }
};

// ---------------------------------------------------------------------------------------------
// Static set-up

void CPaintManagerUI::SetInstance(HINSTANCE instance) {
    g_instance = instance;
}

HINSTANCE CPaintManagerUI::GetInstance() {
    return g_instance ? g_instance : GetModuleHandleW(nullptr);
}

CDuiString CPaintManagerUI::GetInstancePath() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameW(GetInstance(), path, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) return CDuiString();
    std::wstring folder(path, n);
    return CDuiString(folder.substr(0, folder.find_last_of(L"\\/") + 1));
}

void CPaintManagerUI::SetResourcePath(const wchar_t* path) {
    std::wstring folder(path ? path : L"");
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    g_resourcePath = CDuiString(folder);
    CloseCachedArchive();
    detail::ClearImageCache();
}

const CDuiString& CPaintManagerUI::GetResourcePath() {
    return g_resourcePath;
}

void CPaintManagerUI::SetResourceZip(const wchar_t* zipName, bool cached, HANDLE heldZip) {
    g_resourceZip = CDuiString(zipName);
    g_heldZip = heldZip;
    g_zipCached = cached;
    CloseCachedArchive();
    detail::ClearImageCache();
}

const CDuiString& CPaintManagerUI::GetResourceZip() {
    return g_resourceZip;
}

bool CPaintManagerUI::ReadSkinFile(const wchar_t* name, std::string* bytes) {
    if (!name || !*name || !bytes) return false;
    if (g_resourceZip.IsEmpty()) return ReadFileBytes((g_resourcePath.str() + name).c_str(), bytes);
    UniqueArchive archive = std::move(g_archive);
    if (!archive) archive.reset(OpenArchive((g_resourcePath.str() + g_resourceZip.str()).c_str(), g_heldZip));
    if (!archive) return false;
    const bool ok = ReadArchiveEntry(archive.get(), name, bytes);
    if (g_zipCached) g_archive = std::move(archive);
    return ok;
}

void CPaintManagerUI::MessageLoop() {
    // A plain loop: keys go to the focused window, which is the native edit when it has focus.
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// ---------------------------------------------------------------------------------------------
// Skin loading

namespace {

struct SkinBuilder {
    CPaintManagerUI* manager;
    IDialogBuilderCallback* callback;
    CContainerUI* root;
    std::map<int, UniqueGdiObject>* fonts;
    std::map<int, FontTraits>* fontTraits;
    int dpi;
    SIZE* initSize;
    RECT* caption;
    SIZE* roundCorner;
    detail::FocusKeeper* keys;
    std::vector<CControlUI*> stack;  // null: an element whose children are skipped
    XML_Parser parser;
    bool failed = false;

    static bool ParsePair(const wchar_t* text, SIZE* size) {
        wchar_t* end = nullptr;
        const long cx = wcstol(text, &end, 10);
        if (end == text) return false;
        while (*end == L',' || *end == L' ') ++end;
        const long cy = wcstol(end, nullptr, 10);
        *size = SIZE{cx, cy};
        return true;
    }

    void WindowAttribute(const std::wstring& name, const std::wstring& value) {
        if (name == L"size") {
            ParsePair(value.c_str(), initSize);
        } else if (name == L"caption") {
            detail::ParseRect(value.c_str(), caption);
        } else if (name == L"roundcorner") {
            ParsePair(value.c_str(), roundCorner);
        } else if (name == L"bkcolor" || name == L"bkimage") {
            root->SetAttribute(name.c_str(), value.c_str());
        } else if (name == L"focuscolor") {
            keys->SetMarkColor(detail::ParseColor(value.c_str()));
        }
    }

    void AddFont(const char** attrs) {
        int id = 0;
        FontTraits traits;
        for (const char** a = attrs; a[0]; a += 2) {
            const std::wstring name = Widen(a[0]), value = Widen(a[1]);
            if (name == L"id") id = _wtoi(value.c_str());
            else if (name == L"name") traits.face = value;
            else if (name == L"size") traits.size = _wtoi(value.c_str());
            else if (name == L"bold") traits.bold = detail::ParseBool(value.c_str());
            else if (name == L"italic") traits.italic = detail::ParseBool(value.c_str());
            else if (name == L"underline") traits.underline = detail::ParseBool(value.c_str());
        }
        HFONT font = MakeFont(traits, dpi);
        if (!font) return;
        (*fonts)[id].reset(font);
        (*fontTraits)[id] = traits;
    }

    CControlUI* MakeControl(const std::wstring& name) {
        if (name == L"Control") return new CControlUI();
        if (name == L"Label") return new CLabelUI();
        if (name == L"Button") return new CButtonUI();
        if (name == L"Edit") return new CEditUI();
        if (name == L"Progress") return new CProgressUI();
        if (name == L"Container") return new CContainerUI();
        return callback ? callback->CreateControl(name.c_str()) : nullptr;
    }

    void Start(const char* element, const char** attrs) {
        const std::wstring name = Widen(element);
        if (stack.empty()) {  // the document element
            if (name == L"Window")
                for (const char** a = attrs; a[0]; a += 2) WindowAttribute(Widen(a[0]), Widen(a[1]));
            stack.push_back(root);
            return;
        }
        auto* parent = dynamic_cast<CContainerUI*>(stack.back());
        if (!parent) {
            stack.push_back(nullptr);
            return;
        }
        if (name == L"Font") {
            AddFont(attrs);
            stack.push_back(nullptr);
            return;
        }
        CControlUI* control = MakeControl(name);
        if (control) {
            // A range comes before the value it bounds, whatever the attribute order.
            for (int pass = 0; pass < 2; ++pass) {
                for (const char** a = attrs; a[0]; a += 2) {
                    const bool range = strcmp(a[0], "min") == 0 || strcmp(a[0], "max") == 0;
                    if (range == (pass == 0)) control->SetAttribute(Widen(a[0]).c_str(), Widen(a[1]).c_str());
                }
            }
            parent->Add(control);
            control->SetManager(manager, parent);
        }
        stack.push_back(control);
    }

    static void XMLCALL OnStart(void* data, const char* element, const char** attrs) {
        auto* self = static_cast<SkinBuilder*>(data);
        try {
            self->Start(element, attrs);
        } catch (...) {
            self->failed = true;
            XML_StopParser(self->parser, XML_FALSE);
        }
    }

    static void XMLCALL OnEnd(void* data, const char*) {
        auto* self = static_cast<SkinBuilder*>(data);
        if (!self->stack.empty()) self->stack.pop_back();
    }
};

}  // namespace

CPaintManagerUI::CPaintManagerUI() : impl_(new Impl()) { impl_->keys.reset(new detail::FocusKeeper(this)); }

CPaintManagerUI::~CPaintManagerUI() {
    impl_->keys.reset();  // readers holding the window's object find it cut off
    if (window_ && IsWindow(window_))
        for (const auto& timer : impl_->timers) ::KillTimer(window_, timer.systemId);
    impl_->root.reset();  // before the fonts its edits use
}

void CPaintManagerUI::Init(HWND window) {
    window_ = window;
    dpi_ = window ? WindowDpi(window) : kSkinDpi;
    if (!impl_->root) impl_->NewRoot(window);
    impl_->FitRoot(window, dpi_);
}

int CPaintManagerUI::Scale(int value) const {
    return ScaleLength(value, dpi_);
}

RECT CPaintManagerUI::Scale(const RECT& rect) const {
    return ScaleRect(rect, dpi_);
}

void CPaintManagerUI::SetDpi(int dpi) {
    if (dpi <= 0 || dpi == dpi_) return;
    dpi_ = dpi;
    // The new fonts are made and handed to the edits before the old ones go.
    std::map<int, UniqueGdiObject> fonts;
    for (const auto& traits : impl_->fontTraits)
        if (HFONT font = MakeFont(traits.second, dpi)) fonts[traits.first].reset(font);
    impl_->fonts.swap(fonts);
    if (impl_->root) {
        ForEachEdit(impl_->root.get(), [](CEditUI* edit) {
            edit->ApplyFont();
            edit->Sync();
        });
    }
    if (window_) {
        impl_->FitRoot(window_, dpi_);
        InvalidateRect(window_, nullptr, FALSE);
    }
}

bool CPaintManagerUI::LoadSkin(const wchar_t* skinFile, IDialogBuilderCallback* callback) {
    impl_->NewRoot(window_);
    initSize_ = SIZE{0, 0};
    caption_ = RECT{0, 0, 0, 0};
    roundCorner_ = SIZE{0, 0};
    std::string xml;
    if (!ReadSkinFile(skinFile, &xml)) return false;

    impl_->keys->SetMarkColor(0);
    impl_->FitRoot(window_, dpi_);
    SkinBuilder builder{this,       callback,   impl_->root.get(), &impl_->fonts,      &impl_->fontTraits, dpi_,
                        &initSize_, &caption_,  &roundCorner_,     impl_->keys.get(), {},                nullptr};
    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (!parser) return false;
    builder.parser = parser;
    XML_SetUserData(parser, &builder);
    XML_SetElementHandler(parser, &SkinBuilder::OnStart, &SkinBuilder::OnEnd);
    const bool parsed = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(parser);
    if (!parsed || builder.failed) {
        // Half a skin is no skin: the window stays, without controls.
        impl_->NewRoot(window_);
        initSize_ = SIZE{0, 0};
        caption_ = RECT{0, 0, 0, 0};
        roundCorner_ = SIZE{0, 0};
        return false;
    }
    if (window_) InvalidateRect(window_, nullptr, FALSE);
    return true;
}

CControlUI* CPaintManagerUI::GetRoot() const {
    return impl_->root.get();
}

CControlUI* CPaintManagerUI::FindControl(const wchar_t* name) const {
    if (!name || !*name || !impl_->root) return nullptr;
    return FindByName(impl_->root.get(), name);
}

CControlUI* CPaintManagerUI::FindControl(POINT pt) const {
    return impl_->root ? FindAt(impl_->root.get(), pt) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Timers and notifications

bool CPaintManagerUI::SetTimer(CControlUI* control, UINT timerId, UINT elapse) {
    if (!window_ || !control) return false;
    UINT systemId = 0;
    for (const auto& timer : impl_->timers)
        if (timer.control == control && timer.id == timerId) systemId = timer.systemId;
    if (systemId == 0) {
        systemId = impl_->nextTimerId++;
        impl_->timers.push_back(Impl::Timer{control, timerId, systemId});
    }
    return ::SetTimer(window_, systemId, elapse, nullptr) != 0;
}

bool CPaintManagerUI::KillTimer(CControlUI* control, UINT timerId) {
    auto& timers = impl_->timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->control != control || it->id != timerId) continue;
        if (window_) ::KillTimer(window_, it->systemId);
        timers.erase(it);
        return true;
    }
    return false;
}

void CPaintManagerUI::AddNotifier(INotifyUI* notifier) {
    if (notifier) impl_->notifiers.push_back(notifier);
}

void CPaintManagerUI::AddMessageFilter(IMessageFilterUI* filter) {
    if (filter) impl_->filters.push_back(filter);
}

void CPaintManagerUI::SendNotify(CControlUI* control, const wchar_t* type, WPARAM wParam, LPARAM lParam) {
    TNotifyUI msg;
    msg.sType = type;
    msg.pSender = control;
    msg.dwTimestamp = GetTickCount();
    msg.wParam = wParam;
    msg.lParam = lParam;
    GetCursorPos(&msg.ptMouse);
    if (window_) ScreenToClient(window_, &msg.ptMouse);
    const std::vector<INotifyUI*> notifiers = impl_->notifiers;  // a handler may add one
    for (INotifyUI* notifier : notifiers) notifier->Notify(msg);
    // A handler may have hidden the focused control: the focus moves on to one that can take it.
    if (msg.sType == L"click" && window_) impl_->keys->Focused();
}

bool CPaintManagerUI::Click(CControlUI* control) {
    auto* button = dynamic_cast<CButtonUI*>(control);
    if (!button || !button->IsVisible() || !button->IsEnabled()) return false;
    SendNotify(button, L"click");
    return true;
}

CControlUI* CPaintManagerUI::GetFocus() const {
    return impl_->keys->Focused();
}

// ---------------------------------------------------------------------------------------------
// Messages

void CPaintManagerUI::Invalidate(const RECT& rect) {
    if (window_ && !IsRectEmpty(&rect)) InvalidateRect(window_, &rect, FALSE);
}

HFONT CPaintManagerUI::GetFont(int id) const {
    const auto found = impl_->fonts.find(id);
    if (found != impl_->fonts.end()) return static_cast<HFONT>(found->second.get());
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

namespace {

// Paints the controls inside `area` into a memory bitmap, then copies it to `dc` at once.
void PaintArea(CControlUI* root, detail::FocusKeeper* keys, HDC dc, const RECT& area) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return;
    const UniqueMemoryDc memoryDc(CreateCompatibleDC(dc));
    const UniqueGdiObject bitmap(CreateCompatibleBitmap(dc, width, height));
    if (!memoryDc || !bitmap) return;
    const HDC memory = memoryDc.get();
    const ScopedSelect selected(memory, bitmap.get());
    SetViewportOrgEx(memory, -area.left, -area.top, nullptr);
    detail::FillColor(memory, area, area, 0xFFFFFFFF);
    if (root) root->DoPaint(memory, area);
    keys->PaintMark(memory, area);
    BitBlt(dc, area.left, area.top, width, height, memory, area.left, area.top, SRCCOPY);
}

}  // namespace

bool CPaintManagerUI::MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (!window_) return false;
    Impl& s = *impl_;
    const POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    result = 0;
    if (s.keys->HandleMessage(uMsg, wParam, lParam, result)) return true;
    switch (uMsg) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window_, &ps);
        if (dc) PaintArea(s.root.get(), s.keys.get(), dc, ps.rcPaint);
        EndPaint(window_, &ps);
        return true;
    }
    case WM_PRINTCLIENT: {
        RECT rc;
        GetClientRect(window_, &rc);
        PaintArea(s.root.get(), s.keys.get(), reinterpret_cast<HDC>(wParam), rc);
        return true;
    }
    case WM_ERASEBKGND:
        result = 1;
        return true;
    case WM_SIZE:
        if (s.root && wParam != SIZE_MINIMIZED) {
            s.FitRoot(window_, dpi_);
            InvalidateRect(window_, nullptr, FALSE);
        }
        break;
    case kWmDpiChanged: {
        // Laid out again at the new scale, at the size and place Windows suggests for it.
        SetDpi(HIWORD(wParam));
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        if (suggested)
            SetWindowPos(window_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        break;
    }
    case WM_TIMER:
        for (const auto& timer : s.timers) {
            if (timer.systemId != wParam) continue;
            SendNotify(timer.control, L"timer", timer.id);
            return true;
        }
        break;
    case WM_NCHITTEST: {
        POINT client = pt;
        ScreenToClient(window_, &client);
        const RECT caption = Scale(caption_);
        result = PtInRect(&caption, client) && !FindControl(client) ? HTCAPTION : HTCLIENT;
        return true;
    }
    case WM_MOUSEMOVE: {
        if (!s.trackingLeave) {
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, window_, 0};
            s.trackingLeave = TrackMouseEvent(&track) != FALSE;
        }
        if (s.pushed) {
            const RECT pos = s.pushed->GetScaledPos();
            s.pushed->SetHot(PtInRect(&pos, pt) != FALSE);
            return true;
        }
        auto* button = dynamic_cast<CButtonUI*>(FindControl(pt));
        if (button != s.hot) {
            if (s.hot) s.hot->SetHot(false);
            s.hot = button;
            if (button) button->SetHot(true);
            s.keys->Hover(button);
        }
        return true;
    }
    case WM_MOUSELEAVE:
        s.trackingLeave = false;
        if (s.hot && !s.pushed) {
            s.hot->SetHot(false);
            s.hot = nullptr;
            s.keys->Hover(nullptr);
        }
        return true;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        auto* button = dynamic_cast<CButtonUI*>(FindControl(pt));
        if (!button) break;
        if (s.hot && s.hot != button) s.hot->SetHot(false);
        s.hot = s.pushed = button;
        button->SetHot(true);
        button->SetPushed(true);
        s.keys->SetFocus(button);
        SetCapture(window_);
        return true;
    }
    case WM_LBUTTONUP: {
        CButtonUI* button = s.pushed;
        if (!button) break;
        s.pushed = nullptr;
        button->SetPushed(false);
        if (GetCapture() == window_) ReleaseCapture();
        const RECT pos = button->GetScaledPos();
        if (PtInRect(&pos, pt) && button->IsVisible() && button->IsEnabled()) SendNotify(button, L"click");
        return true;
    }
    case WM_CAPTURECHANGED:
        if (s.pushed && reinterpret_cast<HWND>(lParam) != window_) {
            s.pushed->SetPushed(false);
            s.pushed = nullptr;
        }
        break;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
        if (s.root) {
            if (CEditUI* edit = detail::FindEditWindow(s.root.get(), reinterpret_cast<HWND>(lParam))) {
                result = reinterpret_cast<LRESULT>(edit->PrepareColors(reinterpret_cast<HDC>(wParam)));
                return true;
            }
        }
        break;
    default:
        break;
    }
    const std::vector<IMessageFilterUI*> filters = s.filters;
    for (IMessageFilterUI* filter : filters) {
        bool handled = false;
        const LRESULT r = filter->MessageHandler(uMsg, wParam, lParam, handled);
        if (handled) {
            result = r;
            return true;
        }
    }
    return false;
}

}  // namespace UiLib
