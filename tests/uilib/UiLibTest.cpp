// The UI library on a real window: skin loading from a zip, layout, notifications, timers,
// mouse clicks, the native edit box and painting. The skin comes from make_skin.py.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "uilib/UiLib.h"
#include "uilib/UiScale.h"

using namespace UiLib;

namespace {

// Dispatches messages for `ms` milliseconds, or until `done` holds; never longer.
template <typename Done>
bool PumpUntil(DWORD ms, Done done) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;  // a destroyed test window posts one
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

void Pump(DWORD ms) {
    PumpUntil(ms, [] { return false; });
}

struct Event {
    std::wstring type;
    CControlUI* sender;
    WPARAM wParam;
};

class TestWnd : public WindowImplBase {
public:
    explicit TestWnd(const wchar_t* skin = L"MainFrame.xml") : skin_(skin) {}
    const wchar_t* WindowClassName() const override { return L"UiLibTest_Wnd"; }
    CDuiString SkinFolder() override { return L""; }
    CDuiString SkinFile() override { return skin_; }
    void OnWindowCreated() override { log.push_back({L"created", nullptr, 0}); }
    void Notify(TNotifyUI& msg) override { log.push_back({msg.sType.str(), msg.pSender, msg.wParam}); }
    CControlUI* CreateControl(const wchar_t* className) override {
        return wcscmp(className, L"Custom") == 0 ? new CControlUI() : nullptr;
    }

    int Count(const wchar_t* type, CControlUI* sender = nullptr) const {
        int n = 0;
        for (const auto& e : log)
            if (e.type == type && (!sender || e.sender == sender)) ++n;
        return n;
    }
    CControlUI* Find(const wchar_t* name) { return m_PaintManager.FindControl(name); }
    SIZE Client() const {
        RECT rc;
        GetClientRect(hwnd_, &rc);
        return SIZE{rc.right, rc.bottom};
    }
    // Posts a press and a release at a client point, then lets them through.
    void ClickAt(POINT pt) {
        PostMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(pt.x, pt.y));
        PostMessage(WM_LBUTTONUP, 0, MAKELPARAM(pt.x, pt.y));
        Pump(100);
    }
    COLORREF PixelAt(int x, int y) {
        UpdateWindow(hwnd_);
        HDC dc = GetDC(hwnd_);
        const COLORREF color = GetPixel(dc, x, y);
        ReleaseDC(hwnd_, dc);
        return color;
    }

    std::vector<Event> log;

private:
    std::wstring skin_;
};

// The native edit child showing `text` (FindWindowEx cannot match an edit box's own text).
HWND EditWithText(HWND parent, const std::wstring& text) {
    for (HWND child = FindWindowExW(parent, nullptr, L"Edit", nullptr); child;
         child = FindWindowExW(parent, child, L"Edit", nullptr)) {
        wchar_t buffer[256] = {};
        GetWindowTextW(child, buffer, 256);
        if (text == buffer) return child;
    }
    return nullptr;
}

POINT Centre(CControlUI* control) {
    const RECT& rc = control->GetPos();
    return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
}

class UiLibTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::wstring dir = WinPathFromEnv(L"VEXO_UILIB_SKIN");
        ASSERT_FALSE(dir.empty());
        CPaintManagerUI::SetResourcePath(dir.c_str());
        CPaintManagerUI::SetResourceZip(L"res.zip");
    }
    void TearDown() override {
        delete wnd;
        Pump(20);
    }
    void Open(const wchar_t* skin = L"MainFrame.xml") {
        wnd = new TestWnd(skin);
        ASSERT_NE(wnd->Create(nullptr, L"UiLib test", 0x96C80000, 0), nullptr);
        wnd->CenterWindow();
        wnd->ShowWindow(true, true);
        Pump(100);
    }

    TestWnd* wnd = nullptr;
};

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

TEST_F(UiLibTest, StaticsKeepTheirValues) {
    CPaintManagerUI::SetInstance(GetModuleHandleW(nullptr));
    EXPECT_EQ(CPaintManagerUI::GetInstance(), GetModuleHandleW(nullptr));
    const std::wstring path = CPaintManagerUI::GetInstancePath().str();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back(), L'\\');
    EXPECT_EQ(std::wstring(CPaintManagerUI::GetResourceZip()), L"res.zip");
    EXPECT_EQ(CPaintManagerUI::GetResourcePath().str().back(), L'\\');
    std::string bytes;
    EXPECT_TRUE(CPaintManagerUI::ReadSkinFile(L"MainFrame.xml", &bytes));
    EXPECT_NE(bytes.find("<Window"), std::string::npos);
    EXPECT_TRUE(CPaintManagerUI::ReadSkinFile(L"mainframe.XML", &bytes));
    EXPECT_FALSE(CPaintManagerUI::ReadSkinFile(L"Missing.xml", &bytes));
}

TEST_F(UiLibTest, WindowInitComesAfterOnWindowCreated) {
    Open();
    ASSERT_GE(wnd->log.size(), 2u);
    EXPECT_EQ(wnd->log[0].type, L"created");
    EXPECT_EQ(wnd->log[1].type, L"windowinit");
    EXPECT_EQ(wnd->log[1].sender, wnd->m_PaintManager.GetRoot());
    EXPECT_EQ(wnd->Count(L"windowinit"), 1);
}

TEST_F(UiLibTest, SkinBuildsControlsAndSizesTheClient) {
    Open();
    const SIZE client = wnd->Client();
    EXPECT_EQ(client.cx, 300);
    EXPECT_EQ(client.cy, 200);
    RECT window;
    GetWindowRect(*wnd, &window);
    EXPECT_EQ(window.right - window.left, 300) << "no system frame around the skin";
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    EXPECT_NE(GetWindowRgn(*wnd, region), ERROR) << "round corners";
    DeleteObject(region);

    CControlUI* ok = wnd->Find(L"BtnOk");
    ASSERT_NE(ok, nullptr);
    EXPECT_STREQ(ok->GetClass(), L"Button");
    EXPECT_EQ(ok->GetName(), L"BtnOk");
    EXPECT_EQ(ok->GetText(), L"OK");
    EXPECT_EQ(ok->GetWidth(), 100);
    EXPECT_STREQ(wnd->Find(L"Title")->GetClass(), L"Label");
    EXPECT_EQ(wnd->Find(L"Title")->GetText(), L"Vexo模拟器");
    EXPECT_STREQ(wnd->Find(L"EditPath")->GetClass(), L"Edit");
    EXPECT_STREQ(wnd->Find(L"Prog")->GetClass(), L"Progress");
    EXPECT_STREQ(wnd->Find(L"Panel")->GetClass(), L"Container");
    CControlUI* inPanel = wnd->Find(L"BtnInPanel");
    ASSERT_NE(inPanel, nullptr);
    EXPECT_EQ(inPanel->GetParent(), wnd->Find(L"Panel"));
    EXPECT_FALSE(inPanel->IsVisible()) << "hidden with its container";
    EXPECT_NE(wnd->Find(L"Mine"), nullptr) << "made by the builder callback";
    EXPECT_EQ(wnd->Find(L"Skipped"), nullptr);
    EXPECT_EQ(wnd->Find(L"UnderSkipped"), nullptr);
    EXPECT_EQ(wnd->Find(L"Nothing"), nullptr);

    // By point: only controls that take the mouse, topmost first.
    EXPECT_EQ(wnd->m_PaintManager.FindControl(POINT{275, 15}), wnd->Find(L"BtnClose"));
    EXPECT_EQ(wnd->m_PaintManager.FindControl(Centre(ok)), ok);
    EXPECT_EQ(wnd->m_PaintManager.FindControl(POINT{20, 110}), wnd->Find(L"EditPath"));
    EXPECT_EQ(wnd->m_PaintManager.FindControl(POINT{20, 50}), nullptr) << "an image control";
    EXPECT_EQ(wnd->m_PaintManager.FindControl(POINT{250, 165}), nullptr) << "a disabled button";
}

TEST_F(UiLibTest, CaptionDragsExceptOverButtons) {
    Open();
    auto hitTest = [&](int x, int y) {
        POINT pt = {x, y};
        ClientToScreen(*wnd, &pt);
        return wnd->SendMessage(WM_NCHITTEST, 0, MAKELPARAM(pt.x, pt.y));
    };
    EXPECT_EQ(hitTest(150, 15), HTCAPTION);
    EXPECT_EQ(hitTest(275, 15), HTCLIENT);
    EXPECT_EQ(hitTest(150, 100), HTCLIENT);
}

TEST_F(UiLibTest, ResizeClientSetsTheClientSize) {
    Open();
    wnd->ResizeClient(320, 260);
    EXPECT_EQ(wnd->Client().cx, 320);
    EXPECT_EQ(wnd->Client().cy, 260);
    wnd->ResizeClient(300, 200);
    EXPECT_EQ(wnd->Client().cx, 300);
    EXPECT_EQ(wnd->Client().cy, 200);
}

TEST_F(UiLibTest, TimersWithTheSameIdStayPerControl) {
    Open();
    CControlUI* a = wnd->Find(L"Swatch");
    CControlUI* b = wnd->Find(L"BtnOk");
    ASSERT_TRUE(wnd->m_PaintManager.SetTimer(a, 100, 30));
    ASSERT_TRUE(wnd->m_PaintManager.SetTimer(b, 100, 60));
    wnd->log.clear();
    PumpUntil(3000, [&] { return wnd->Count(L"timer", a) >= 6 && wnd->Count(L"timer", b) >= 3; });
    EXPECT_GE(wnd->Count(L"timer", a), 6);
    EXPECT_GE(wnd->Count(L"timer", b), 3);
    for (const auto& e : wnd->log) {
        if (e.type == L"timer") {
            EXPECT_EQ(e.wParam, 100u);
        }
    }
    // The faster one really runs faster: they are two timers, not one.
    EXPECT_GT(wnd->Count(L"timer", a), wnd->Count(L"timer", b));

    EXPECT_TRUE(wnd->m_PaintManager.KillTimer(a, 100));
    Pump(100);
    const int before = wnd->Count(L"timer", a);
    Pump(200);
    EXPECT_EQ(wnd->Count(L"timer", a), before);
    EXPECT_GT(wnd->Count(L"timer", b), 3) << "the other control's timer keeps running";
}

// The installer's window runs a 50 ms timer that moves a control: that must cost little.
class Animator : public TestWnd {
public:
    void Notify(TNotifyUI& msg) override {
        TestWnd::Notify(msg);
        if (msg.sType != L"timer") return;
        RECT rc = msg.pSender->GetPos();
        const int x = rc.left + 5 > 250 ? 10 : rc.left + 5;
        msg.pSender->SetPos(RECT{x, rc.top, x + (rc.right - rc.left), rc.bottom});
    }
};

ULONGLONG CpuTime() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000;  // ms
}

TEST_F(UiLibTest, AnimationTimerCostsLittle) {
    wnd = new Animator();
    ASSERT_NE(wnd->Create(nullptr, L"UiLib test", 0x96C80000, 0), nullptr);
    wnd->ShowWindow(true, true);
    Pump(100);
    wnd->m_PaintManager.SetTimer(wnd->Find(L"Swatch"), 100, 50);
    const ULONGLONG before = CpuTime();
    Pump(2000);
    const ULONGLONG used = CpuTime() - before;
    EXPECT_GE(wnd->Count(L"timer"), 20);
    EXPECT_LT(used, 600u) << "CPU ms spent animating for 2 s";
}

TEST_F(UiLibTest, ClickGoesToAnEnabledVisibleButton) {
    Open();
    CControlUI* ok = wnd->Find(L"BtnOk");
    wnd->log.clear();
    wnd->ClickAt(Centre(ok));
    ASSERT_EQ(wnd->Count(L"click"), 1);
    EXPECT_EQ(wnd->Count(L"click", ok), 1);

    wnd->ClickAt(Centre(wnd->Find(L"BtnOff")));
    EXPECT_EQ(wnd->Count(L"click"), 1) << "disabled";
    wnd->ClickAt(Centre(wnd->Find(L"BtnInPanel")));
    EXPECT_EQ(wnd->Count(L"click"), 1) << "inside a hidden container";
    ok->SetVisible(false);
    wnd->ClickAt(Centre(ok));
    EXPECT_EQ(wnd->Count(L"click"), 1) << "hidden";
    ok->SetVisible(true);

    // Released outside the button: no click.
    PostMessageW(*wnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(Centre(ok).x, Centre(ok).y));
    PostMessageW(*wnd, WM_LBUTTONUP, 0, MAKELPARAM(5, 190));
    Pump(100);
    EXPECT_EQ(wnd->Count(L"click"), 1);

    wnd->Find(L"Panel")->SetVisible(true);
    wnd->ClickAt(Centre(wnd->Find(L"BtnInPanel")));
    EXPECT_EQ(wnd->Count(L"click", wnd->Find(L"BtnInPanel")), 1);
}

TEST_F(UiLibTest, EditTextGoesBothWaysThroughTheNativeBox) {
    Open();
    CControlUI* edit = wnd->Find(L"EditPath");
    EXPECT_EQ(edit->GetText(), L"C:\\start");
    edit->SetText(L"D:\\游戏\\vexo");
    HWND native = EditWithText(*wnd, L"D:\\游戏\\vexo");
    ASSERT_NE(native, nullptr);
    EXPECT_TRUE(IsWindowVisible(native));
    RECT rc;
    GetWindowRect(native, &rc);
    MapWindowPoints(nullptr, *wnd, reinterpret_cast<POINT*>(&rc), 2);
    EXPECT_GE(rc.left, 10);
    EXPECT_LE(rc.right, 200);
    EXPECT_GE(rc.top, 100);
    EXPECT_LE(rc.bottom, 124);

    SetWindowTextW(native, L"E:\\typed");
    EXPECT_EQ(edit->GetText(), L"E:\\typed");

    edit->SetEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(native));
    edit->SetEnabled(true);
    EXPECT_TRUE(IsWindowEnabled(native));
    edit->SetVisible(false);
    EXPECT_FALSE(IsWindowVisible(native));
    edit->SetVisible(true);
    EXPECT_TRUE(IsWindowVisible(native));

    // An edit inside a hidden container stays hidden until the container shows.
    HWND inPanel = EditWithText(*wnd, L"panel");
    ASSERT_NE(inPanel, nullptr);
    EXPECT_FALSE(IsWindowVisible(inPanel));
    wnd->Find(L"Panel")->SetVisible(true);
    EXPECT_TRUE(IsWindowVisible(inPanel));
}

TEST_F(UiLibTest, PaintingFollowsImagesVisibilityAndPosition) {
    Open();
    EXPECT_EQ(wnd->PixelAt(30, 50), kRed) << "plain file name image";
    EXPECT_EQ(wnd->PixelAt(70, 50), kYellow) << "source rectangle";
    EXPECT_EQ(wnd->PixelAt(95, 50), kBlue) << "transparent half shows the colour under it";
    EXPECT_EQ(wnd->PixelAt(105, 50), kRed) << "opaque half";
    EXPECT_EQ(wnd->PixelAt(150, 100), kWhite) << "window background";

    CControlUI* swatch = wnd->Find(L"Swatch");
    swatch->SetBkImage(L"file='Colors.png' source='0,0,10,10' dest='0,0,20,20'");
    EXPECT_EQ(wnd->PixelAt(15, 45), kBlue) << "dest part";
    EXPECT_EQ(wnd->PixelAt(40, 55), kWhite) << "outside dest";
    swatch->SetBkImage(L"Red.png");
    EXPECT_EQ(wnd->PixelAt(40, 55), kRed);

    swatch->SetVisible(false);
    EXPECT_EQ(wnd->PixelAt(30, 50), kWhite);
    swatch->SetVisible(true);
    EXPECT_EQ(wnd->PixelAt(30, 50), kRed);

    UpdateWindow(*wnd);
    swatch->SetPos(RECT{150, 60, 190, 80});
    RECT dirty = {};
    GetUpdateRect(*wnd, &dirty, FALSE);
    EXPECT_TRUE(dirty.left == 10 && dirty.top == 40 && dirty.right == 190 && dirty.bottom == 80)
        << "only the old and new places are repainted: " << dirty.left << "," << dirty.top << "," << dirty.right
        << "," << dirty.bottom;
    EXPECT_EQ(wnd->PixelAt(30, 50), kWhite) << "old place repainted";
    EXPECT_EQ(wnd->PixelAt(170, 70), kRed) << "new place painted";

    auto* progress = static_cast<CProgressUI*>(wnd->Find(L"Prog"));
    EXPECT_EQ(wnd->PixelAt(50, 135), kBlack);
    progress->SetValue(50);
    EXPECT_EQ(wnd->PixelAt(50, 135), kGreen) << "filled part";
    EXPECT_EQ(wnd->PixelAt(150, 135), kBlack) << "beyond the value";

    // Hover and press switch the button's image.
    CControlUI* close = wnd->Find(L"BtnClose");
    EXPECT_EQ(wnd->PixelAt(275, 15), kBlue);
    PostMessageW(*wnd, WM_MOUSEMOVE, 0, MAKELPARAM(275, 15));
    Pump(50);
    EXPECT_EQ(wnd->PixelAt(275, 15), kYellow) << "hot";
    PostMessageW(*wnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(275, 15));
    Pump(50);
    EXPECT_EQ(wnd->PixelAt(275, 15), RGB(255, 0, 255)) << "pushed";
    PostMessageW(*wnd, WM_LBUTTONUP, 0, MAKELPARAM(275, 15));
    Pump(50);
    EXPECT_EQ(wnd->Count(L"click", close), 1);
}

TEST_F(UiLibTest, PrintWindowGetsTheSkin) {
    Open();
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 300, 200);
    HGDIOBJ old = SelectObject(memory, bitmap);
    EXPECT_TRUE(PrintWindow(*wnd, memory, 0));
    EXPECT_EQ(GetPixel(memory, 30, 50), kRed);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

TEST_F(UiLibTest, ProgressStaysInItsRange) {
    Open();
    auto* progress = static_cast<CProgressUI*>(wnd->Find(L"Prog"));
    progress->SetValue(150);
    EXPECT_EQ(progress->GetValue(), 100);
    progress->SetValue(-5);
    EXPECT_EQ(progress->GetValue(), 0);
    progress->SetValue(42);
    EXPECT_EQ(progress->GetValue(), 42);
    auto* ranged = static_cast<CProgressUI*>(wnd->Find(L"Prog2"));
    EXPECT_EQ(ranged->GetValue(), 150) << "the skin's range holds its value";
    ranged->SetValue(250);
    EXPECT_EQ(ranged->GetValue(), 200);
    ranged->SetValue(3);
    EXPECT_EQ(ranged->GetValue(), 10);
}

TEST_F(UiLibTest, MissingArchiveLeavesAWindowWithoutControls) {
    CPaintManagerUI::SetResourceZip(L"nothere.zip");
    Open();
    EXPECT_TRUE(IsWindow(*wnd));
    EXPECT_EQ(wnd->Find(L"BtnOk"), nullptr);
    EXPECT_EQ(wnd->m_PaintManager.FindControl(POINT{150, 165}), nullptr);
    EXPECT_EQ(wnd->Count(L"windowinit"), 1);
    EXPECT_NE(wnd->m_PaintManager.GetRoot(), nullptr);
    UpdateWindow(*wnd);
}

TEST_F(UiLibTest, BrokenSkinLeavesAWindowWithoutControls) {
    Open(L"Broken.xml");
    EXPECT_TRUE(IsWindow(*wnd));
    EXPECT_EQ(wnd->Find(L"BtnOk"), nullptr);
    EXPECT_EQ(wnd->Count(L"windowinit"), 1);
}

// The image set for each scale is the smallest at least as large, never one to scale up.
TEST(UiScale, ImageSetForEachScale) {
    const struct {
        int dpi;
        int percent;
        const wchar_t* file;
    } cases[] = {
        {96, 100, L"MainFrame.png"},     {120, 150, L"MainFrame@1.5x.png"}, {144, 150, L"MainFrame@1.5x.png"},
        {168, 200, L"MainFrame@2x.png"}, {192, 200, L"MainFrame@2x.png"},   {240, 200, L"MainFrame@2x.png"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ImageSetPercent(c.dpi), c.percent) << c.dpi;
        EXPECT_EQ(ImageSetFile(L"MainFrame.png", c.percent), c.file) << c.dpi;
    }
    EXPECT_EQ(ImageSetFile(L"img.v2/Logo", 200), L"img.v2/Logo@2x");
}

// Scaled down by the area each pixel covers: a 2 x 2 block becomes its mean, a 3-to-2 step
// shares the middle pixel, and a flat image stays flat.
TEST(UiScale, ShrinkAveragesTheCoveredArea) {
    const uint32_t block[] = {0xFF000000, 0xFF0000FF, 0xFF00FF00, 0x00000000};
    uint32_t one = 0;
    ShrinkPixels(block, 2, 2, &one, 1, 1);
    EXPECT_EQ(one, 0xBF004040u);
    const uint32_t row[] = {0xFF000000, 0xFF000090, 0xFF0000F0};
    uint32_t two[2] = {};
    ShrinkPixels(row, 3, 1, two, 2, 1);
    EXPECT_EQ(two[0], 0xFF000030u);
    EXPECT_EQ(two[1], 0xFF0000D0u);
    std::vector<uint32_t> flat(9 * 7, 0x80402010u), shrunk(5 * 4, 0);
    ShrinkPixels(flat.data(), 9, 7, shrunk.data(), 5, 4);
    for (uint32_t pixel : shrunk) EXPECT_EQ(pixel, 0x80402010u);
}

TEST_F(UiLibTest, CloseEndsTheWindow) {
    Open();
    const HWND hwnd = *wnd;
    wnd->Close(1);
    PumpUntil(2000, [&] { return !IsWindow(hwnd); });
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(wnd->GetHWND(), nullptr);
}

}  // namespace
