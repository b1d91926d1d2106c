#pragma once
// Our small skinned-window library: a window whose controls are described by an XML skin
// inside a zip archive, painted double-buffered with images decoded by GDI+.
//
// This header is the contract the installer's window is written against. Implementation
// details (private members, helper classes) may be added; public signatures stay.

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace UiLib {

class CControlUI;
class CPaintManagerUI;

// Wide text with value semantics.
class CDuiString {
public:
    CDuiString() = default;
    CDuiString(const wchar_t* text) : text_(text ? text : L"") {}  // NOLINT: implicit on purpose
    CDuiString(std::wstring text) : text_(std::move(text)) {}      // NOLINT
    const wchar_t* GetData() const { return text_.c_str(); }
    operator const wchar_t*() const { return text_.c_str(); }  // NOLINT
    int GetLength() const { return static_cast<int>(text_.size()); }
    bool IsEmpty() const { return text_.empty(); }
    bool operator==(const wchar_t* other) const { return text_ == (other ? other : L""); }
    bool operator!=(const wchar_t* other) const { return !(*this == other); }
    bool operator==(const CDuiString& other) const { return text_ == other.text_; }
    const std::wstring& str() const { return text_; }

private:
    std::wstring text_;
};

// A control notification: sType is "windowinit", "click" or "timer"; for "timer" wParam is
// the timer id.
struct tagTNotifyUI {
    CDuiString sType;
    CControlUI* pSender = nullptr;
    DWORD dwTimestamp = 0;
    POINT ptMouse = {0, 0};
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};
using TNotifyUI = tagTNotifyUI;

class INotifyUI {
public:
    virtual ~INotifyUI() = default;
    virtual void Notify(TNotifyUI& msg) = 0;
};

class IMessageFilterUI {
public:
    virtual ~IMessageFilterUI() = default;
    virtual LRESULT MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& handled) = 0;
};

class IDialogBuilderCallback {
public:
    virtual ~IDialogBuilderCallback() = default;
    // Makes a control for an element the library does not know; null to skip it.
    virtual CControlUI* CreateControl(const wchar_t* className) = 0;
};

class CNotifyPump {
public:
    virtual ~CNotifyPump() = default;
};

// The notification-area icon of a window. The installer never shows one; removing it is part
// of the window's tear-down.
class CDuiTrayIcon {
public:
    ~CDuiTrayIcon() { DeleteTrayIcon(); }
    bool CreateTrayIcon(HWND owner, UINT iconId, const wchar_t* tip, UINT callbackMessage);
    void DeleteTrayIcon();
    bool IsVisible() const { return visible_; }

private:
    HWND owner_ = nullptr;
    UINT id_ = 0;
    bool visible_ = false;
};

class CControlUI {
public:
    CControlUI();
    virtual ~CControlUI();
    CControlUI(const CControlUI&) = delete;
    CControlUI& operator=(const CControlUI&) = delete;

    virtual const wchar_t* GetClass() const { return L"Control"; }

    const CDuiString& GetName() const { return name_; }
    void SetName(const wchar_t* name) { name_ = name; }

    virtual CDuiString GetText() const { return text_; }
    virtual void SetText(const wchar_t* text);

    // True when the control and all its parents are visible.
    bool IsVisible() const;
    virtual void SetVisible(bool visible);
    bool IsEnabled() const { return enabled_; }
    virtual void SetEnabled(bool enabled);

    // Position in skin pixels (client pixels at 96 DPI).
    const RECT& GetPos() const { return pos_; }
    virtual void SetPos(RECT pos);
    int GetWidth() const { return pos_.right - pos_.left; }
    int GetHeight() const { return pos_.bottom - pos_.top; }
    // Position in client pixels of the window at its DPI: where the control is drawn, hit and
    // reported. Everything that deals with the screen takes this one.
    RECT GetScaledPos() const;
    // Where its text is drawn: the scaled position inside the scaled padding.
    RECT GetTextRect() const;
    int GetFont() const { return font_; }

    // Image attribute text, as in the skin ("file='x.png' source='l,t,r,b'").
    void SetBkImage(const wchar_t* image);
    const CDuiString& GetBkImage() const { return bkImage_; }

    virtual void SetAttribute(const wchar_t* name, const wchar_t* value);

    // What a control drawn only as an image is called: its tooltip and its name to screen readers.
    const CDuiString& GetToolTip() const { return toolTip_; }
    // Where the focus mark goes, relative to the control's rectangle (negative: outside it).
    const RECT& GetFocusInset() const { return focusInset_; }

    CPaintManagerUI* GetManager() const { return manager_; }
    CControlUI* GetParent() const { return parent_; }
    virtual void SetManager(CPaintManagerUI* manager, CControlUI* parent);

    // Children (containers only hold any).
    virtual int GetCount() const { return 0; }
    virtual CControlUI* GetItemAt(int) const { return nullptr; }

    virtual void DoPaint(HDC dc, const RECT& clip);
    void Invalidate();

protected:
    CPaintManagerUI* manager_ = nullptr;
    CControlUI* parent_ = nullptr;
    CDuiString name_;
    CDuiString text_;
    CDuiString bkImage_;
    RECT pos_ = {0, 0, 0, 0};
    bool visible_ = true;
    bool enabled_ = true;
    DWORD bkColor_ = 0;  // 0xAARRGGBB; 0 draws nothing
    DWORD textColor_ = 0xFF000000;
    int font_ = -1;
    UINT align_ = DT_LEFT;
    RECT padding_ = {0, 0, 0, 0};
    CDuiString toolTip_;
    RECT focusInset_ = {0, 0, 0, 0};
};

class CProgressUI : public CControlUI {
public:
    const wchar_t* GetClass() const override { return L"Progress"; }
    int GetValue() const { return value_; }
    // Kept within the range (0 to 100 unless the skin says otherwise).
    void SetValue(int value);
    void SetAttribute(const wchar_t* name, const wchar_t* value) override;
    void DoPaint(HDC dc, const RECT& clip) override;

private:
    int min_ = 0;
    int max_ = 100;
    int value_ = 0;
    CDuiString foreImage_;
};

class CPaintManagerUI {
public:
    CPaintManagerUI();
    ~CPaintManagerUI();
    CPaintManagerUI(const CPaintManagerUI&) = delete;
    CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;

    static void SetInstance(HINSTANCE instance);
    static HINSTANCE GetInstance();
    // Folder of the executable, with a trailing backslash.
    static CDuiString GetInstancePath();
    static void SetResourcePath(const wchar_t* path);
    static const CDuiString& GetResourcePath();
    // The skin archive, relative to the resource path; cached keeps it open between reads.
    // heldZip: the skin archive held open by the caller; what is read must be that very file.
    static void SetResourceZip(const wchar_t* zipName, bool cached = false, HANDLE heldZip = nullptr);
    static const CDuiString& GetResourceZip();
    // Reads a file of the skin (from the archive when one is set, else from the resource
    // path); false when it is missing.
    static bool ReadSkinFile(const wchar_t* name, std::string* bytes);
    // Dispatches messages until WM_QUIT.
    static void MessageLoop();

    void Init(HWND window);
    HWND GetPaintWindow() const { return window_; }
    // Builds the controls from the skin file; false when it cannot be read or parsed.
    bool LoadSkin(const wchar_t* skinFile, IDialogBuilderCallback* callback);
    CControlUI* GetRoot() const;
    SIZE GetInitSize() const { return initSize_; }

    CControlUI* FindControl(const wchar_t* name) const;
    // The topmost visible control at a client point that takes mouse input, or null.
    CControlUI* FindControl(POINT pt) const;

    // A "timer" notification for `control` every `elapse` ms. Timers are per control: two
    // controls may use the same id.
    bool SetTimer(CControlUI* control, UINT timerId, UINT elapse);
    bool KillTimer(CControlUI* control, UINT timerId);

    void AddNotifier(INotifyUI* notifier);
    void AddMessageFilter(IMessageFilterUI* filter);
    void SendNotify(CControlUI* control, const wchar_t* type, WPARAM wParam = 0, LPARAM lParam = 0);
    // A "click" of a visible, enabled button, as the mouse sends it (keys and screen readers
    // press buttons this way); false for anything else.
    bool Click(CControlUI* control);
    // The control that has the keyboard focus: Tab and Shift+Tab move it through the visible,
    // enabled buttons and edits in skin order, Enter and Space press it, Escape closes the
    // window (WM_SYSCOMMAND, SC_CLOSE).
    CControlUI* GetFocus() const;

    // Handles painting, mouse, timers and sizing for the window; true when it handled the message.
    bool MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& result);
    void Invalidate(const RECT& rect);

    CDuiTrayIcon& GetTrayObject() { return tray_; }

    // The DPI the window is drawn at (96 without a window). Setting it re-makes the fonts and
    // lays the controls out again; the window's size is the caller's.
    int GetDpi() const { return dpi_; }
    void SetDpi(int dpi);
    // Skin pixels to client pixels at that DPI.
    int Scale(int value) const;
    RECT Scale(const RECT& rect) const;

    // Resources of the skin, owned by the manager.
    HFONT GetFont(int id) const;
    // In skin pixels, as the skin gives them.
    RECT GetCaptionRect() const { return caption_; }
    SIZE GetRoundCorner() const { return roundCorner_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    HWND window_ = nullptr;
    SIZE initSize_ = {0, 0};
    RECT caption_ = {0, 0, 0, 0};
    SIZE roundCorner_ = {0, 0};
    int dpi_ = 96;
    CDuiTrayIcon tray_;
};

class CWindowWnd {
public:
    CWindowWnd() = default;
    virtual ~CWindowWnd() = default;
    CWindowWnd(const CWindowWnd&) = delete;
    CWindowWnd& operator=(const CWindowWnd&) = delete;

    HWND GetHWND() const { return hwnd_; }
    operator HWND() const { return hwnd_; }  // NOLINT

    HWND Create(HWND parent, const wchar_t* name, DWORD style, DWORD exStyle, int x = CW_USEDEFAULT,
                int y = CW_USEDEFAULT, int cx = CW_USEDEFAULT, int cy = CW_USEDEFAULT, HMENU menu = nullptr);
    void ShowWindow(bool show = true, bool takeFocus = true);
    void CenterWindow();
    void ResizeClient(int cx = -1, int cy = -1);
    void Close(UINT result = IDOK);
    LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0);
    LRESULT PostMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0);

    // The window procedure of this object; the default is the system's own handling.
    virtual LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);

protected:
    virtual const wchar_t* WindowClassName() const = 0;
    virtual UINT GetClassStyle() const { return CS_DBLCLKS; }
    virtual void OnFinalMessage(HWND) {}

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
};

// A skinned top-level window: loads SkinFolder()/SkinFile() from the resource archive when it
// is created, calls OnWindowCreated, then sends "windowinit".
class WindowImplBase : public CWindowWnd,
                       public CNotifyPump,
                       public INotifyUI,
                       public IMessageFilterUI,
                       public IDialogBuilderCallback {
public:
    WindowImplBase() = default;
    ~WindowImplBase() override;

    LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    void Notify(TNotifyUI& msg) override;
    LRESULT MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, bool& handled) override;
    CControlUI* CreateControl(const wchar_t* className) override;

    virtual void OnWindowCreated() {}
    virtual CDuiString SkinFolder() = 0;
    virtual CDuiString SkinFile() = 0;

    virtual LRESULT OnCreate(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    virtual LRESULT OnClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    virtual LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    virtual LRESULT OnSize(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    virtual LRESULT OnSysCommand(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    virtual LRESULT HandleCustomMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& handled);
    virtual void OnClick(TNotifyUI&) {}
    virtual LONG GetStyle();
    // The skin's round corners at the window's DPI.
    SIZE RoundCorner() const;

    CPaintManagerUI m_PaintManager;
};

}  // namespace UiLib
