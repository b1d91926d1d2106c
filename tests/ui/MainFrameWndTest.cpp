// The real installer window under Xvfb, driven by posted clicks and answered message boxes.
// Paths that end the process are exercised against the installer executable itself.

#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

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
    EXPECT_TRUE(SaveWindowPng(hwnd(), ScreenshotPath(L"start-screen.png")));
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
    Click(L"BtnInstall");
    ASSERT_TRUE(PumpUntil([&] { return held.ran_; }, 5000)) << "runner not started";
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
