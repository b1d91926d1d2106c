// The real installer window under Xvfb, driven by posted clicks and answered message boxes.
// Paths that end the process are exercised against the installer executable itself.

#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <commctrl.h>
#include <oleacc.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "WindowDriver.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "stats/ReportSender.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"
#include "tasks/TaskManager.h"
#include "ui/InstallFolder.h"
#include "ui/MainFrameWnd.h"
#include "ui/WindowTexts.h"
#include "uilib/UiInternal.h"
#include "uilib/UiScale.h"

using UiLib::CControlUI;
using UiLib::CPaintManagerUI;
using UiLib::CProgressUI;

namespace {

// Holds the runner in its first task so the window stays on its progress screen.
class HeldTask : public TaskBase {
public:
    explicit HeldTask(HWND window) : TaskBase(window) { release_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    void Run() override {
        ran_ = true;
        ::WaitForSingleObject(release_, INFINITE);
    }
    HANDLE release_;
    volatile bool ran_ = false;
};

// Runs a program and dispatches this thread's messages until it ends, so the
// window answers it meanwhile; its exit code, or -1.
long RunPumping(std::wstring commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    ::CloseHandle(process.hThread);
    PumpUntil([&] { return ::WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; }, 20000);
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hProcess);
    return code == STILL_ACTIVE ? -1 : static_cast<long>(code);
}

// Real key presses on the virtual display, as xdotool names them ("Tab", "shift+Tab", "Return").
// Wine cannot wait for a Unix program, so it leaves a file behind once the keys are sent.
void PressKeys(const std::wstring& keys) {
    const std::wstring sent = FreshScratch(L"keys") + L"\\sent";
    std::wstring unixPath = sent.substr(2);  // Z:\...
    for (wchar_t& c : unixPath) c = c == L'\\' ? L'/' : c;
    std::wstring line = L"sh -c \"xdotool key --delay 60 " + keys + L" && touch '" + unixPath + L"'\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(::CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ASSERT_TRUE(PumpUntil([&] { return PathExists(sent); }, 10000)) << Utf8(keys);
    PumpFor(0);
}

// A child of the window as the probe read it through MSAA.
struct ReadChild {
    long role = 0;
    unsigned long state = 0;
    RECT at = {};
    std::string name, value, action;
};

struct ReadTree {
    std::vector<ReadChild> children;
    long focus = -1;
    const ReadChild* Named(const std::string& name) const {
        for (const ReadChild& child : children)
            if (child.name == name) return &child;
        return nullptr;
    }
};

// The probe's reading of `window` (`list`), or its answer to `press <name>`.
std::string RunProbe(HWND window, const std::wstring& what) {
    const std::wstring out = FreshScratch(L"probe") + L"\\out.txt";
    wchar_t handle[16];
    wsprintfW(handle, L"%lx", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)));
    const long code =
        RunPumping(L"\"" + WinPathFromEnv(L"VEXO_ACCESSIBILITY_PROBE") + L"\" " + handle + L" \"" + out + L"\" " + what);
    std::string text;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(ReadWholeFile(out, &text));
    return text;
}

ReadTree ReadAccessibleTree(HWND window) {
    ReadTree tree;
    std::istringstream lines(RunProbe(window, L"list"));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        if (f.size() == 2 && f[0] == "focus") tree.focus = std::stol(f[1]);
        if (f.size() < 8) continue;
        ReadChild child;
        child.role = std::stol(f[1]);
        child.state = std::stoul(f[2], nullptr, 16);
        const long left = std::stol(f[3]), top = std::stol(f[4]);
        child.at = RECT{left, top, left + std::stol(f[5]), top + std::stol(f[6])};
        child.name = f[7];
        child.value = f.size() > 8 ? f[8] : "";
        child.action = f.size() > 9 ? f[9] : "";
        tree.children.push_back(child);
    }
    return tree;
}

// What the window told screen readers (WinEvents of this process).
struct Announcements {
    Announcements() {
        events().clear();
        hook_ = ::SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_VALUECHANGE, nullptr, &Seen, ::GetCurrentProcessId(), 0,
                                  WINEVENT_OUTOFCONTEXT);
    }
    ~Announcements() { ::UnhookWinEvent(hook_); }
    bool Heard(DWORD event, long child) const {
        for (const auto& seen : events())
            if (seen.first == event && seen.second == child) return true;
        return false;
    }

private:
    static std::vector<std::pair<DWORD, long>>& events() {
        static std::vector<std::pair<DWORD, long>> seen;
        return seen;
    }
    static void CALLBACK Seen(HWINEVENTHOOK, DWORD event, HWND, LONG object, LONG child, DWORD, DWORD) {
        if (object == OBJID_CLIENT) events().emplace_back(event, child);
    }
    HWINEVENTHOOK hook_;
};

// The id a reader knows a child by.
long ChildId(const ReadTree& tree, const std::function<bool(const ReadChild&)>& which) {
    for (size_t i = 0; i < tree.children.size(); ++i)
        if (which(tree.children[i])) return static_cast<long>(i + 1);
    return 0;
}

class MainFrameWndTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetReportSender(SendReport);
        CPaintManagerUI::SetInstance(::GetModuleHandleW(nullptr));
        CPaintManagerUI::SetResourcePath((WinPathFromEnv(L"VEXO_SKIN_DIR") + L"\\").c_str());
        CPaintManagerUI::SetResourceZip(L"res.zip", false);
        window_ = new MainFrameWnd();
        g_mainFrame = window_;
        window_->Create(nullptr, kInstallerDisplayName, 0x96C80000, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, nullptr);
        window_->CenterWindow();
        window_->ShowWindow(true, true);
        g_taskManager.mainWindow = window_->GetHWND();
        PumpFor(300);
    }

    HWND hwnd() const { return window_->GetHWND(); }
    CControlUI* Find(const wchar_t* name) const { return window_->m_PaintManager.FindControl(name); }
    CControlUI* Focused() const { return window_->m_PaintManager.GetFocus(); }
    // Where a control is on the screen.
    RECT ScreenRect(const wchar_t* name) const {
        RECT r = Find(name)->GetPos();
        ::MapWindowPoints(hwnd(), nullptr, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    // The client area as painted, 32 bits a pixel.
    std::vector<DWORD> Painted() const {
        const SIZE size = ClientSize(hwnd());
        const HDC screen = ::GetDC(nullptr);
        const HDC memory = ::CreateCompatibleDC(screen);
        const HBITMAP bitmap = ::CreateCompatibleBitmap(screen, size.cx, size.cy);
        const HGDIOBJ old = ::SelectObject(memory, bitmap);
        ::SendMessageW(hwnd(), WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory), PRF_CLIENT);
        ::SelectObject(memory, old);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = size.cx;
        info.bmiHeader.biHeight = -size.cy;  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        std::vector<DWORD> pixels(static_cast<size_t>(size.cx) * size.cy);
        ::GetDIBits(memory, bitmap, 0, size.cy, pixels.data(), &info, DIB_RGB_COLORS);
        ::DeleteObject(bitmap);
        ::DeleteDC(memory);
        ::ReleaseDC(nullptr, screen);
        return pixels;
    }
    bool Visible(const wchar_t* name) const {
        CControlUI* c = Find(name);
        return c != nullptr && c->IsVisible();
    }
    void Click(const wchar_t* name) {
        CControlUI* c = Find(name);
        ASSERT_NE(c, nullptr) << "no control";
        const RECT r = c->GetScaledPos();
        PostClick(hwnd(), POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2});
    }
    // Clicks `name` and answers the message box it opens with `answer`.
    SeenBox ClickAndAnswer(const wchar_t* name, int answer) {
        BoxAnswerer answerer(::GetCurrentProcessId(), answer);
        Click(name);
        EXPECT_TRUE(answerer.Wait()) << "no message box";
        PumpFor(50);
        return answerer.seen();
    }

    static MainFrameWnd* window_;
};

MainFrameWnd* MainFrameWndTest::window_ = nullptr;

const wchar_t* const kProgressGroup[] = {L"ProgressInsatll",       L"LabelProgressTip",     L"ControlProAnimation",
                                         L"ControlNetInstallPanel", L"ContronNetInstallHide", L"ControlNetInstallImg",
                                         L"ControlProgressBk"};
const wchar_t* const kStartGroup[] = {L"BtnCustomInstall", L"BtnDown",         L"BtnInstall",   L"ControlICO",
                                      L"LabelShowSizeMini", L"ControlGameLogo", L"LabelGameName"};

}  // namespace

TEST_F(MainFrameWndTest, StartScreenProposesTheProgramFilesFolder) {
    ASSERT_NE(hwnd(), nullptr);
    const SIZE size = ClientSize(hwnd());
    EXPECT_EQ(size.cx, 680);
    EXPECT_EQ(size.cy, 420);
    for (const wchar_t* name : kProgressGroup) EXPECT_FALSE(Visible(name));
    for (const wchar_t* name : kStartGroup) EXPECT_TRUE(Visible(name));
    EXPECT_FALSE(Visible(L"PanelInstallInfo"));
    for (int i = 1; i <= 5; ++i) EXPECT_FALSE(Visible((L"ControlImage" + std::to_wstring(i)).c_str()));

    wchar_t programFiles[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, programFiles, CSIDL_PROGRAM_FILES, FALSE);
    EXPECT_EQ(window_->installPath, std::wstring(programFiles) + L"\\kavix");
    ASSERT_NE(Find(L"EditPath"), nullptr);
    EXPECT_EQ(Find(L"EditPath")->GetText().str(), window_->installPath);
    EXPECT_EQ(Focused(), Find(L"BtnInstall"));
    EXPECT_TRUE(SaveWindowPng(hwnd(), ScreenshotPath(L"start-screen.png")));
}

TEST_F(MainFrameWndTest, ScreenReaderReadsTheStartScreen) {
    const ReadTree tree = ReadAccessibleTree(hwnd());
    ASSERT_FALSE(tree.children.empty());
    // Each button by its text, or by its tooltip when it is only an image, where clicks land.
    for (const wchar_t* name :
         {L"BtnInstall", L"BtnCustomInstall", L"BtnDown", L"BtnMin", L"BtnClose", L"BtnSelFolder"}) {
        SCOPED_TRACE(Utf8(name));
        const CControlUI* control = Find(name);
        const std::string spoken = Utf8(control->GetText().IsEmpty() ? control->GetToolTip().str()
                                                                     : control->GetText().str());
        ASSERT_FALSE(spoken.empty());
        const ReadChild* child = tree.Named(spoken);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(child->role, ROLE_SYSTEM_PUSHBUTTON);
        EXPECT_EQ(child->action, "按下");
        const RECT where = ScreenRect(name);
        EXPECT_TRUE(::EqualRect(&child->at, &where));
        EXPECT_EQ((child->state & STATE_SYSTEM_INVISIBLE) != 0, !control->IsVisible());
        EXPECT_EQ((child->state & STATE_SYSTEM_FOCUSABLE) != 0, control->IsVisible());
        EXPECT_EQ((child->state & STATE_SYSTEM_FOCUSED) != 0, control == Find(L"BtnInstall"));
    }
    ASSERT_GT(tree.focus, 0);
    EXPECT_EQ(tree.children[static_cast<size_t>(tree.focus - 1)].name, Utf8(Find(L"BtnInstall")->GetText().str()));
    // The texts, and the folder box and the bar, hidden until their screens show.
    const ReadChild* title = tree.Named(Utf8(Find(L"LabelGameName")->GetText().str()));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->role, ROLE_SYSTEM_STATICTEXT);
    EXPECT_EQ(title->state & STATE_SYSTEM_INVISIBLE, 0u);
    int edits = 0, bars = 0;
    for (const ReadChild& child : tree.children) {
        if (child.role == ROLE_SYSTEM_TEXT) {
            ++edits;
            EXPECT_FALSE(child.name.empty());
            EXPECT_EQ(child.value, Utf8(window_->installPath));
            EXPECT_NE(child.state & STATE_SYSTEM_INVISIBLE, 0u);
        } else if (child.role == ROLE_SYSTEM_PROGRESSBAR) {
            ++bars;
            EXPECT_EQ(child.value, "0%");
            EXPECT_NE(child.state & STATE_SYSTEM_INVISIBLE, 0u);
        }
    }
    EXPECT_EQ(edits, 1);
    EXPECT_EQ(bars, 1);
}

// A shown tooltip of this thread's, and its text.
BOOL CALLBACK FindToolTip(HWND window, LPARAM found) {
    wchar_t cls[32] = {};
    ::GetClassNameW(window, cls, 32);
    if (lstrcmpiW(cls, TOOLTIPS_CLASSW) != 0 || !::IsWindowVisible(window)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

TEST_F(MainFrameWndTest, ImageButtonsShowTheirNamesOnHover) {
    POINT before = {};
    ::GetCursorPos(&before);
    for (const wchar_t* name : {L"BtnMin", L"BtnClose"}) {
        SCOPED_TRACE(Utf8(name));
        const RECT r = ScreenRect(name);
        ::SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        HWND tip = nullptr;
        ASSERT_TRUE(PumpUntil([&] {
            tip = nullptr;
            ::EnumThreadWindows(::GetCurrentThreadId(), FindToolTip, reinterpret_cast<LPARAM>(&tip));
            wchar_t text[80] = {};
            TOOLINFOW tool = {};
            tool.cbSize = sizeof(tool);
            tool.lpszText = text;
            return tip != nullptr && ::SendMessageW(tip, TTM_GETCURRENTTOOLW, 0, reinterpret_cast<LPARAM>(&tool)) &&
                   Find(name)->GetToolTip() == text;
        }, 5000));
    }
    ::SetCursorPos(before.x, before.y);
    PumpFor(100);
}

TEST_F(MainFrameWndTest, CustomPanelTogglesWithEitherButton) {
    Click(L"BtnCustomInstall");
    PumpFor(100);
    EXPECT_TRUE(Visible(L"PanelInstallInfo"));
    EXPECT_EQ(ClientSize(hwnd()).cy, 480);
    EXPECT_TRUE(SaveWindowPng(hwnd(), ScreenshotPath(L"custom-panel.png")));
    Click(L"BtnDown");
    PumpFor(100);
    EXPECT_FALSE(Visible(L"PanelInstallInfo"));
    EXPECT_EQ(ClientSize(hwnd()).cy, 420);
    EXPECT_EQ(ClientSize(hwnd()).cx, 680);
}

TEST_F(MainFrameWndTest, FolderDialogCancelledChangesNothing) {
    Click(L"BtnCustomInstall");
    PumpFor(100);
    const std::wstring before = Find(L"EditPath")->GetText().str();
    const SeenBox dialog = ClickAndAnswer(L"BtnSelFolder", IDCANCEL);
    EXPECT_EQ(dialog.text, kFolderDialogTitle);
    EXPECT_EQ(Find(L"EditPath")->GetText().str(), before);
    EXPECT_EQ(window_->installPath, before);
    Click(L"BtnDown");
    PumpFor(100);
    EXPECT_FALSE(Visible(L"PanelInstallInfo"));
}

TEST_F(MainFrameWndTest, InvalidFoldersAreRefusedWithTheirMessages) {
    struct Case {
        std::wstring folder;
        FolderCheck refusal;
    };
    const Case cases[] = {
        {L"", FolderCheck::Empty},
        {L"C:\\" + std::wstring(48, L'a'), FolderCheck::TooLong},
        {L"1:\\kavix", FolderCheck::NoDrive},
        {L"C:\\Vexo模拟器", FolderCheck::BadCharacters},
        {L"C:\\a.b", FolderCheck::BadCharacters},
    };
    for (const Case& c : cases) {
        Find(L"EditPath")->SetText(c.folder.c_str());
        const SeenBox box = ClickAndAnswer(L"BtnInstall", IDOK);
        EXPECT_EQ(box.caption, kMessageCaption);
        EXPECT_EQ(box.text, FolderCheckMessage(c.refusal));
        EXPECT_TRUE(box.hasOk);
        // Refused: still the start screen, the typed text kept.
        EXPECT_TRUE(Visible(L"BtnInstall"));
        EXPECT_FALSE(Visible(L"ProgressInsatll"));
        EXPECT_EQ(Find(L"EditPath")->GetText().str(), c.folder);
    }
}

TEST_F(MainFrameWndTest, CloseAnsweredWithCancelChangesNothing) {
    const SeenBox box = ClickAndAnswer(L"BtnClose", IDCANCEL);
    EXPECT_EQ(box.caption, kMessageCaption);
    EXPECT_EQ(box.text, kExitConfirmText);
    EXPECT_TRUE(box.hasOk);
    EXPECT_TRUE(box.hasCancel);
    EXPECT_TRUE(::IsWindowVisible(hwnd()));
    EXPECT_TRUE(Visible(L"BtnInstall"));
}

TEST_F(MainFrameWndTest, KeysMoveTheFocusAndPressTheFocusedButton) {
    // The mouse pressed the close button last: it has the focus, unmarked.
    EXPECT_EQ(Focused(), Find(L"BtnClose"));
    const std::vector<DWORD> mouseOnly = Painted();
    ASSERT_NO_FATAL_FAILURE(PressKeys(L"Tab"));
    ASSERT_TRUE(PumpUntil([&] { return Focused() == Find(L"BtnInstall"); }, 2000));
    // The first key shows the mark, around the install button and nowhere else.
    const std::vector<DWORD> marked = Painted();
    RECT markArea = Find(L"BtnInstall")->GetPos();
    ::InflateRect(&markArea, 8, 8);
    const int width = ClientSize(hwnd()).cx;
    int changed = 0;
    for (size_t i = 0; i < marked.size(); ++i) {
        if (marked[i] == mouseOnly[i]) continue;
        ++changed;
        const POINT at = {static_cast<LONG>(i % width), static_cast<LONG>(i / width)};
        ASSERT_TRUE(::PtInRect(&markArea, at)) << at.x << "," << at.y;
    }
    EXPECT_GT(changed, 0);
    EXPECT_TRUE(SaveWindowPng(hwnd(), ScreenshotPath(L"keyboard-focus.png")));

    // Reading order, forwards and back, with the custom panel's folder box and button once Space opens it.
    const struct {
        const wchar_t* keys;
        const wchar_t* focused;
    } steps[] = {
        {L"Tab", L"BtnCustomInstall"}, {L"Tab", L"BtnDown"},         {L"Tab", L"BtnMin"},
        {L"Tab", L"BtnClose"},         {L"Tab", L"BtnInstall"},      {L"shift+Tab", L"BtnClose"},
        {L"shift+Tab", L"BtnMin"},     {L"shift+Tab", L"BtnDown"},   {L"space", L"BtnDown"},
        {L"Tab", L"BtnMin"},           {L"Tab", L"BtnClose"},        {L"Tab", L"EditPath"},
        {L"Tab", L"BtnSelFolder"},     {L"shift+Tab", L"EditPath"},
    };
    for (const auto& step : steps) {
        ASSERT_NO_FATAL_FAILURE(PressKeys(step.keys));
        EXPECT_TRUE(PumpUntil([&] { return Focused() == Find(step.focused); }, 2000))
            << Utf8(step.keys) << " to " << Utf8(step.focused);
    }
    EXPECT_EQ(ClientSize(hwnd()).cy, 480);
    EXPECT_EQ(::GetFocus(), ::FindWindowExW(hwnd(), nullptr, L"Edit", nullptr));  // typing goes to the box
    EXPECT_TRUE(SaveWindowPng(hwnd(), ScreenshotPath(L"keyboard-focus-folder.png")));

    // Enter in the folder box is the install button's, checks included.
    Find(L"EditPath")->SetText(L"");
    {
        BoxAnswerer answerer(::GetCurrentProcessId(), IDOK);
        ASSERT_NO_FATAL_FAILURE(PressKeys(L"Return"));
        ASSERT_TRUE(answerer.Wait());
        EXPECT_EQ(answerer.seen().text, FolderCheckMessage(FolderCheck::Empty));
    }
    Find(L"EditPath")->SetText(window_->installPath.c_str());
    EXPECT_TRUE(Visible(L"BtnInstall"));

    // Enter on the arrow closes the panel again.
    ASSERT_NO_FATAL_FAILURE(PressKeys(L"shift+Tab shift+Tab shift+Tab"));
    ASSERT_TRUE(PumpUntil([&] { return Focused() == Find(L"BtnDown"); }, 2000));
    ASSERT_NO_FATAL_FAILURE(PressKeys(L"Return"));
    EXPECT_TRUE(PumpUntil([&] { return ClientSize(hwnd()).cy == 420; }, 2000));

    // Escape and Alt+F4 ask as the close button does.
    for (const wchar_t* keys : {L"Escape", L"alt+F4"}) {
        BoxAnswerer answerer(::GetCurrentProcessId(), IDCANCEL);
        ASSERT_NO_FATAL_FAILURE(PressKeys(keys));
        ASSERT_TRUE(answerer.Wait()) << Utf8(keys);
        EXPECT_EQ(answerer.seen().text, kExitConfirmText);
        PumpFor(50);
        EXPECT_TRUE(::IsWindowVisible(hwnd()));
    }
    EXPECT_EQ(Focused(), Find(L"BtnDown"));  // where it was before the question
}

// Every text of the skin, drawn in its font at the window's scale, fits its rectangle.
void ExpectTextsFit(HWND window, const UiLib::CPaintManagerUI& manager, CControlUI* control) {
    for (int i = 0; i < control->GetCount(); ++i) ExpectTextsFit(window, manager, control->GetItemAt(i));
    const std::wstring text = control->GetText().str();
    if (text.empty() || lstrcmpW(control->GetClass(), L"Edit") == 0) return;  // the edit box scrolls
    const WindowDc dc(window);
    const ScopedSelect font(dc.get(), manager.GetFont(control->GetFont()));
    RECT extent = {0, 0, 0, 0};
    ::DrawTextW(dc.get(), text.c_str(), static_cast<int>(text.size()), &extent,
                DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    const RECT box = control->GetTextRect();
    EXPECT_LE(extent.right, box.right - box.left) << Utf8(text);
    EXPECT_LE(extent.bottom, box.bottom - box.top) << Utf8(text);
}

// Moved to a monitor of another scale: the window takes the size Windows suggests and lays the skin
// out at it: the caption, the folder box and the panel follow, and no text is cut.
TEST_F(MainFrameWndTest, AnotherScaleLaysTheWindowOutAgain) {
    CControlUI* tip = Find(L"LabelProgressTip");
    const std::wstring skinTip = tip->GetText().str();
    tip->SetText(ProgressTip(100, true).c_str());  // the longest text the window shows there
    for (const int dpi : {120, 144, 192, 96}) {
        SCOPED_TRACE(dpi);
        RECT frame = {};
        ASSERT_TRUE(::GetWindowRect(hwnd(), &frame));
        RECT suggested = {frame.left, frame.top, frame.left + ::MulDiv(680, dpi, 96),
                          frame.top + ::MulDiv(420, dpi, 96)};
        ::SendMessageW(hwnd(), UiLib::kWmDpiChanged, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        PumpFor(50);
        EXPECT_EQ(window_->m_PaintManager.GetDpi(), dpi);
        EXPECT_EQ(ClientSize(hwnd()).cx, ::MulDiv(680, dpi, 96));
        EXPECT_EQ(ClientSize(hwnd()).cy, ::MulDiv(420, dpi, 96));
        ExpectTextsFit(hwnd(), window_->m_PaintManager, window_->m_PaintManager.GetRoot());

        // The caption drags at its scaled height (its bottom edge is at 40 skin pixels).
        POINT caption = {::MulDiv(300, dpi, 96), ::MulDiv(38, dpi, 96)};
        ASSERT_TRUE(::ClientToScreen(hwnd(), &caption));
        EXPECT_EQ(::SendMessageW(hwnd(), WM_NCHITTEST, 0, MAKELPARAM(caption.x, caption.y)), HTCAPTION);

        Click(L"BtnCustomInstall");
        PumpFor(100);
        EXPECT_EQ(ClientSize(hwnd()).cy, ::MulDiv(480, dpi, 96));
        auto* edit = static_cast<UiLib::CEditUI*>(Find(L"EditPath"));
        RECT box = {};
        ASSERT_TRUE(::GetWindowRect(edit->GetEditWindow(), &box));
        ::MapWindowPoints(nullptr, hwnd(), reinterpret_cast<POINT*>(&box), 2);
        RECT inside = {};
        const RECT scaled = edit->GetScaledPos();
        EXPECT_TRUE(::IntersectRect(&inside, &box, &scaled) && ::EqualRect(&inside, &box))
            << "the folder box is not where it is drawn";
        Click(L"BtnDown");
        PumpFor(100);
        EXPECT_FALSE(Visible(L"PanelInstallInfo"));
    }
    tip->SetText(skinTip.c_str());
}

TEST_F(MainFrameWndTest, InstallationShowsProgressHighlightAndSlides) {
    HeldTask held(hwnd());
    g_taskManager.firstTask = &held;
    const std::wstring folder = L"C:\\vexo window test\\kavix";  // spaces are kept
    RemoveTree(L"C:\\vexo window test");
    Find(L"EditPath")->SetText(folder.c_str());
    const ReadTree tree = ReadAccessibleTree(hwnd());
    const long minimise = ChildId(tree, [&](const ReadChild& c) { return c.name == Utf8(Find(L"BtnMin")->GetToolTip().str()); });
    const long bar = ChildId(tree, [](const ReadChild& c) { return c.role == ROLE_SYSTEM_PROGRESSBAR; });
    const long tip = ChildId(tree, [&](const ReadChild& c) { return c.name == Utf8(Find(L"LabelProgressTip")->GetText().str()); });
    ASSERT_TRUE(minimise > 0 && bar > 0 && tip > 0);
    const Announcements announced;
    // Pressed by a screen reader.
    EXPECT_EQ(RunProbe(hwnd(), L"press " + Find(L"BtnInstall")->GetText().str()), "pressed\n");
    ASSERT_TRUE(PumpUntil([&] { return held.ran_; }, 5000)) << "runner not started";
    // The focus left the hidden install button for the first button still shown, and readers hear it.
    EXPECT_EQ(Focused(), Find(L"BtnMin"));
    EXPECT_TRUE(PumpUntil([&] { return announced.Heard(EVENT_OBJECT_FOCUS, minimise); }, 2000));
    EXPECT_EQ(g_taskManager.installPath, folder);
    EXPECT_TRUE(PathExists(folder));

    EXPECT_EQ(Find(L"PanelBK")->GetBkImage().str(), L"file='MainFrame.png' source='708,358,1384,696'");
    for (const wchar_t* name : kStartGroup) EXPECT_FALSE(Visible(name));
    for (const wchar_t* name : kProgressGroup) {
        if (lstrcmpW(name, L"ControlProAnimation") != 0) {
            EXPECT_TRUE(Visible(name));
        }
    }
    EXPECT_FALSE(Visible(L"ControlProAnimation"));  // until progress passes 5
    EXPECT_TRUE(Visible(L"ControlImage1"));
    EXPECT_EQ(ClientSize(hwnd()).cy, 420);

    // Slides: 1, 2, 3, 4, 5, 1 at two-second steps, one at a time.
    auto shown = [&] {
        int which = 0, count = 0;
        for (int i = 1; i <= 5; ++i) {
            if (Visible((L"ControlImage" + std::to_wstring(i)).c_str())) {
                which = i;
                ++count;
            }
        }
        return count == 1 ? which : -count;
    };
    std::vector<int> order = {shown()};
    for (int step = 0; step < 5; ++step) {
        const int before = order.back();
        ASSERT_TRUE(PumpUntil([&] { return shown() != before; }, 3000));
        order.push_back(shown());
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5, 1}));

    // Progress texts, plain and with the .NET notice.
    auto* progress = static_cast<CProgressUI*>(Find(L"ProgressInsatll"));
    ::PostMessageW(hwnd(), WM_INSTALL_PROGRESS, 5, kProgressPlain);
    PumpFor(300);
    EXPECT_EQ(progress->GetValue(), 5);
    EXPECT_EQ(Find(L"LabelProgressTip")->GetText().str(), ProgressTip(5, false));
    EXPECT_TRUE(PumpUntil([&] { return announced.Heard(EVENT_OBJECT_VALUECHANGE, bar); }, 2000));
    EXPECT_TRUE(PumpUntil([&] { return announced.Heard(EVENT_OBJECT_NAMECHANGE, tip); }, 2000));
    const ReadTree installing = ReadAccessibleTree(hwnd());
    ASSERT_GE(installing.children.size(), static_cast<size_t>(bar));
    EXPECT_EQ(installing.children[static_cast<size_t>(bar - 1)].value, "5%");
    EXPECT_EQ(installing.children[static_cast<size_t>(bar - 1)].state & STATE_SYSTEM_INVISIBLE, 0u);
    EXPECT_FALSE(Visible(L"ControlProAnimation"));
    ::PostMessageW(hwnd(), WM_INSTALL_PROGRESS, 20, kProgressNetFx);
    PumpFor(50);
    EXPECT_EQ(Find(L"LabelProgressTip")->GetText().str(), ProgressTip(20, true));
    ::PostMessageW(hwnd(), WM_INSTALL_PROGRESS, 60, 7);  // any lParam but -2 is plain
    PumpFor(50);
    EXPECT_EQ(Find(L"LabelProgressTip")->GetText().str(), ProgressTip(60, false));
    PumpFor(300);
    EXPECT_TRUE(SaveWindowPng(hwnd(), ScreenshotPath(L"progress-screen.png")));

    // The highlight: shown past 5 %, 5 units a tick, back to 20 near the end of the fill.
    CControlUI* highlight = Find(L"ControlProAnimation");
    ASSERT_TRUE(PumpUntil([&] { return highlight->IsVisible(); }, 1000));
    const int filled = static_cast<int>(60 * progress->GetWidth() / 100.0);
    const int width = highlight->GetWidth();
    int previous = highlight->GetPos().left;
    int steps = 0;
    while (steps < 40) {
        PumpUntil([&] { return highlight->GetPos().left != previous; }, 500);
        const int now = highlight->GetPos().left;
        auto tick = [&](int x) {
            x += 5;
            if (x >= filled - 20) return 20;
            return x + width > filled ? filled - 20 : x;
        };
        int expected = tick(previous);
        if (now != expected) expected = tick(expected);  // a busy machine may run two ticks between looks
        ASSERT_EQ(now, expected) << "after " << previous;
        EXPECT_EQ(highlight->GetWidth(), width);
        previous = now;
        ++steps;
    }

}

TEST_F(MainFrameWndTest, DownloadProgressUnderTheBarUntilTheNextStep) {
    auto* progress = static_cast<CProgressUI*>(Find(L"ProgressInsatll"));
    ::PostMessageW(hwnd(), WM_INSTALL_PROGRESS, 10, kProgressPlain);
    PumpFor(0);
    const struct {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        std::wstring label;
        int bar;
    } steps[] = {
        {WM_DOWNLOAD_STATE, kDownloadNetFx35, kDownloadStarting, DownloadTip(kNetFx35Name, false, 0, -1), 10},
        {WM_DOWNLOAD_PROGRESS, 32870, 73011, DownloadTip(kNetFx35Name, false, 32870, 73011), 10},
        {WM_DOWNLOAD_PROGRESS, 40000, kDownloadSizeUnknown, DownloadTip(kNetFx35Name, false, 40000, -1), 10},
        {WM_DOWNLOAD_STATE, kDownloadNetFx35, kDownloadResuming, DownloadTip(kNetFx35Name, true, 0, -1), 10},
        {WM_DOWNLOAD_PROGRESS, 40001, 73011, DownloadTip(kNetFx35Name, true, 40001, 73011), 10},
        {WM_DOWNLOAD_STATE, kDownloadSp2, kDownloadStarting, DownloadTip(kSp2Name, false, 0, -1), 10},
        {WM_DOWNLOAD_STATE, 7, kDownloadStarting, DownloadTip(kSp2Name, false, 0, -1), 10},  // unknown: ignored
        {WM_INSTALL_PROGRESS, 30, kProgressNetFx, ProgressTip(30, true), 30},
        {WM_DOWNLOAD_PROGRESS, 500, 1000, ProgressTip(30, true), 30},  // no download going on
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(Utf8(step.label));
        ::PostMessageW(hwnd(), step.message, step.wParam, step.lParam);
        PumpFor(0);  // what this thread posted itself is handled now
        EXPECT_EQ(Find(L"LabelProgressTip")->GetText().str(), step.label);
        EXPECT_EQ(progress->GetValue(), step.bar);
    }
}

TEST(DownloadTip, SharesAndMegabytes) {
    const struct {
        uint64_t arrived;
        int64_t total;
        const wchar_t* tail;
    } cases[] = {
        {0, -1, L"… 0.0 MB"},
        {32870, 73011, L"… 45%（32.1 MB / 71.3 MB）"},
        {0, 73011, L"… 0%（0.0 MB / 71.3 MB）"},
        {73010, 73011, L"… 99%（71.3 MB / 71.3 MB）"},
        {80000, 73011, L"… 100%（78.1 MB / 71.3 MB）"},
        {0, 0, L"… 100%（0.0 MB / 0.0 MB）"},
        {51, -1, L"… 0.0 MB"},
        {52, -1, L"… 0.1 MB"},
        {256, -1, L"… 0.3 MB"},  // a half goes up
        {1023, -1, L"… 1.0 MB"},
        {1153434, 4194304, L"… 27%（1126.4 MB / 4096.0 MB）"},
    };
    for (const auto& c : cases) {
        for (const bool resuming : {false, true}) {
            const std::wstring text = DownloadTip(kSp2Name, resuming, c.arrived, c.total);
            SCOPED_TRACE(Utf8(text));
            const std::wstring tail = c.tail;
            ASSERT_GT(text.size(), tail.size());
            EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
            EXPECT_NE(text.find(kSp2Name), std::wstring::npos);
            EXPECT_NE(text, DownloadTip(kSp2Name, !resuming, c.arrived, c.total));
        }
    }
}
