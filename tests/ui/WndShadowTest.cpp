#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "ui/WndShadow.h"

namespace {

// A shadow bitmap as Redraw hands it to RenderShadow: zeroed, bottom-up.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> bits;
    // Image coordinates: row 0 at the top.
    uint32_t At(int x, int y) const { return bits[static_cast<size_t>(height - 1 - y) * width + x]; }
};

Bitmap Render(HRGN region, int w, int h, const ShadowParams& params) {
    Bitmap b;
    b.width = w + 2 * params.size;
    b.height = h + 2 * params.size;
    b.bits.assign(static_cast<size_t>(b.width) * b.height, 0);
    RenderShadow(region, w, h, params, b.bits.data());
    return b;
}

ShadowParams MainWindowParams() {  // the main window's values
    ShadowParams p;
    p.size = 4;
    p.offsetX = 0;
    p.offsetY = 0;
    return p;
}

struct Region {
    explicit Region(HRGN h) : handle(h) {}
    ~Region() { ::DeleteObject(handle); }
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    HRGN handle;
};

uint32_t Argb(uint32_t alpha, uint32_t r, uint32_t g, uint32_t b) { return alpha << 24 | r << 16 | g << 8 | b; }

}  // namespace

TEST(WndShadowRender, RectangularParentPixelByPixel) {
    Region region(::CreateRectRgn(0, 0, 680, 420));
    const Bitmap b = Render(region.handle, 680, 420, MainWindowParams());
    ASSERT_EQ(b.width, 688);
    ASSERT_EQ(b.height, 428);

    // The band along the straight edges, from the window outward.
    const uint32_t band[] = {100, 75, 50, 24};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(b.At(3 - i, 214), band[i] << 24) << "left " << i;
        EXPECT_EQ(b.At(684 + i, 214), band[i] << 24) << "right " << i;
        EXPECT_EQ(b.At(344, 3 - i), band[i] << 24) << "top " << i;
        EXPECT_EQ(b.At(344, 424 + i), band[i] << 24) << "bottom " << i;
    }

    // Independently: one erosion pass leaves the kernel centres on the border of
    // [5, 682] x [5, 422]; outside the window each pixel takes the ramp (1 - d / 6) x 150 of its
    // distance d to that rectangle, up to d = 5, and the 680 x 420 under the window is 0. The
    // alphas by d squared, as IEEE double arithmetic gives them (computed outside the program).
    const std::map<int, uint32_t> rampByDistanceSquared = {{1, 125}, {2, 114}, {4, 100}, {5, 94},  {8, 79},
                                                           {9, 75},  {10, 70}, {13, 59}, {16, 50}, {17, 46},
                                                           {18, 43}, {20, 38}, {25, 24}};
    int mismatches = 0;
    for (int y = 0; y < b.height; ++y) {
        for (int x = 0; x < b.width; ++x) {
            uint32_t expected = 0;
            if (x < 4 || x >= 684 || y < 4 || y >= 424) {
                const int ddx = std::max({5 - x, 0, x - 682});
                const int ddy = std::max({5 - y, 0, y - 422});
                const auto ramp = rampByDistanceSquared.find(ddx * ddx + ddy * ddy);
                if (ramp != rampByDistanceSquared.end()) expected = ramp->second << 24;
            }
            if (b.At(x, y) != expected && ++mismatches <= 5)
                ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex << b.At(x, y) << ", expected "
                              << expected;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(b.At(0, 0), 0u);         // d = 7.07: beyond the kernel
    EXPECT_EQ(b.At(1, 1), 0u);         // d = 5.66
    EXPECT_EQ(b.At(2, 2), 43u << 24);  // d = 4.24
    EXPECT_EQ(b.At(3, 3), 79u << 24);  // d = 2.83
    EXPECT_EQ(b.At(687, 427), 0u);
    EXPECT_EQ(b.At(685, 425), 43u << 24);
}

TEST(WndShadowRender, ColourIsPremultipliedAndOffsetUncoversTheCore) {
    Region region(::CreateRectRgn(0, 0, 680, 420));
    ShadowParams p;  // defaults: offset (5, 5), darkness 150, sharpness 5
    p.size = 4;
    p.color = RGB(200, 100, 50);
    const Bitmap b = Render(region.handle, 680, 420, p);
    const uint32_t core = Argb(150, 200 * 150 / 255, 100 * 150 / 255, 50 * 150 / 255);
    EXPECT_EQ(b.At(300, 421), core);  // below the parent
    EXPECT_EQ(b.At(680, 200), core);  // right of the parent
    EXPECT_EQ(b.At(600, 200), 0u);    // under the parent, shifted by the offset
    EXPECT_EQ(b.At(2, 200), 0u);
    EXPECT_EQ(b.At(684, 200), Argb(100, 200 * 100 / 255, 100 * 100 / 255, 50 * 100 / 255));  // ramp, d = 2
}

TEST(WndShadowRender, ParentWithoutRegionIsTransparent) {
    const Bitmap b = Render(nullptr, 680, 420, MainWindowParams());
    ASSERT_EQ(b.bits.size(), 688u * 428u);
    for (uint32_t px : b.bits) ASSERT_EQ(px, 0u);
    Region empty(::CreateRectRgn(0, 0, 0, 0));
    const Bitmap e = Render(empty.handle, 68, 42, MainWindowParams());
    for (uint32_t px : e.bits) ASSERT_EQ(px, 0u);
}

TEST(WndShadowRender, RoundedRegionHasNoEmptyLineAndASymmetricShadow) {
    const int w = 301, h = 201;
    Region region(::CreateRoundRectRgn(0, 0, w + 1, h + 1, 60, 60));
    const std::vector<ScanLine> lines = ParentScanLines(region.handle, w, h);
    ASSERT_EQ(lines.size(), static_cast<size_t>(h));
    for (int i = 0; i < h; ++i) {
        ASSERT_LT(lines[i].start, lines[i].end) << "row " << i;
        EXPECT_EQ(lines[i].start, w - lines[i].end) << "row " << i;
        EXPECT_EQ(lines[i].start, lines[h - 1 - i].start) << "row " << i;
    }
    EXPECT_GT(lines[0].start, 10);  // really rounded
    EXPECT_EQ(lines[h / 2].start, 0);

    const Bitmap b = Render(region.handle, w, h, MainWindowParams());
    int asymmetric = 0;
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x)
            if (b.At(x, y) != b.At(b.width - 1 - x, y) || b.At(x, y) != b.At(x, b.height - 1 - y)) ++asymmetric;
    EXPECT_EQ(asymmetric, 0);
    EXPECT_EQ(b.At(150 + 4, 100 + 4), 0u);  // under the window
    EXPECT_EQ(b.At(1, 104), 50u << 24);     // the band on a straight edge
    EXPECT_EQ(b.At(4, 4), 0u);              // the rounded corner leaves the rectangle's corner empty
}

TEST(WndShadowRender, RowWithoutRegionIsAnEmptyScanLine) {
    // Rows 10 and 11 of the parent have no point of the region.
    Region region(::CreateRectRgn(0, 0, 200, 10));
    Region lower(::CreateRectRgn(0, 12, 200, 100));
    ASSERT_NE(::CombineRgn(region.handle, region.handle, lower.handle, RGN_OR), ERROR);
    const std::vector<ScanLine> lines = ParentScanLines(region.handle, 200, 100);
    for (int i = 0; i < 100; ++i) {
        if (i == 10 || i == 11) {
            EXPECT_EQ(lines[i].start, 200);
            EXPECT_EQ(lines[i].end, 0);
        } else {
            EXPECT_EQ(lines[i].start, 0) << i;
            EXPECT_EQ(lines[i].end, 200) << i;
        }
    }
    // In the shadow, the gap (image rows 14 and 15) gets no hole: the ramps of its two sides
    // meet there, while the rows beside it lie under the parent.
    const Bitmap b = Render(region.handle, 200, 100, MainWindowParams());
    EXPECT_EQ(b.At(100, 13), 0u);
    EXPECT_EQ(b.At(100, 14), 100u << 24);
    EXPECT_EQ(b.At(100, 15), 100u << 24);
    EXPECT_EQ(b.At(100, 16), 0u);
}

TEST(WndShadowRender, NegativeAndDegenerateSizes) {
    Region region(::CreateRectRgn(0, 0, 40, 30));
    ShadowParams p = MainWindowParams();
    p.size = -3;  // smaller than the parent and, without offset, wholly under it
    const Bitmap small = Render(region.handle, 40, 30, p);
    ASSERT_EQ(small.width, 34);
    ASSERT_EQ(small.height, 24);
    for (uint32_t px : small.bits) EXPECT_EQ(px, 0u);

    p.offsetX = p.offsetY = 20;  // shifted out from under it: core and ramp show
    const Bitmap shifted = Render(region.handle, 40, 30, p);
    EXPECT_EQ(shifted.At(20, 15), 150u << 24);
    EXPECT_EQ(shifted.At(5, 5), 0u);

    // No bitmap: nothing is written.
    p.size = -20;
    std::vector<uint32_t> sentinel(16, 0xDEADBEEF);
    RenderShadow(region.handle, 40, 30, p, sentinel.data());
    for (uint32_t px : sentinel) EXPECT_EQ(px, 0xDEADBEEFu);

    // A parent of no size still gives a (transparent) bitmap of 2 x size.
    const Bitmap none = Render(region.handle, 0, 0, MainWindowParams());
    ASSERT_EQ(none.bits.size(), 64u);
    for (uint32_t px : none.bits) EXPECT_EQ(px, 0u);

    // A big shadow (size beyond sharpness: a core disc in the kernel) stays inside its bitmap.
    ShadowParams big = MainWindowParams();
    big.size = 100;
    big.sharpness = 0;
    const Bitmap wide = Render(region.handle, 40, 30, big);
    EXPECT_EQ(wide.At(0, 130), 0u);
    EXPECT_EQ(wide.At(120, 130), 150u << 24);
}

// ---- Real windows (Xvfb under Wine) ----

namespace {

constexpr wchar_t kParentClass[] = L"WndShadowTestParent";

HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

// Dispatches what is queued; bounded.
void Pump() {
    MSG msg;
    for (int i = 0; i < 1000 && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

template <typename Done>
bool PumpUntil(Done done) {
    for (int i = 0; i < 200; ++i) {
        Pump();
        if (done()) return true;
        ::Sleep(10);
    }
    return false;
}

RECT WindowRect(HWND h) {
    RECT r{};
    ::GetWindowRect(h, &r);
    return r;
}

::testing::AssertionResult ShadowAround(HWND shadow, HWND parent, int size, int dx = 0, int dy = 0) {
    const RECT s = WindowRect(shadow), p = WindowRect(parent);
    if (s.left == p.left - size + dx && s.top == p.top - size + dy && s.right - s.left == p.right - p.left + 2 * size &&
        s.bottom - s.top == p.bottom - p.top + 2 * size)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "shadow (" << s.left << ", " << s.top << ", " << s.right << ", " << s.bottom
                                         << ") around parent (" << p.left << ", " << p.top << ", " << p.right << ", "
                                         << p.bottom << ")";
}

class WndShadowWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = Instance();
        wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        wc.lpszClassName = kParentClass;
        ::RegisterClassExW(&wc);
        CWndShadow::RegisterShadowClass(Instance());  // false when an earlier test registered it
    }

    void SetUp() override { ASSERT_NE(g_updateLayeredWindow, nullptr); }

    void TearDown() override {
        if (parent_ && ::IsWindow(parent_)) ::DestroyWindow(parent_);
        Pump();
    }

    // A popup with a rectangular window region, as the skinned main window has.
    HWND CreateParent(bool visible, int w = 300, int h = 200) {
        parent_ = ::CreateWindowExW(0, kParentClass, L"parent", WS_POPUP | (visible ? WS_VISIBLE : 0), 100, 100, w, h,
                                    nullptr, nullptr, Instance(), nullptr);
        if (parent_) ::SetWindowRgn(parent_, ::CreateRectRgn(0, 0, w, h), TRUE);
        Pump();
        return parent_;
    }

    // The main window's calling order.
    void Attach(HWND parent) {
        shadow_.AttachToParent(parent);
        shadow_.SetShadowSize(4);
        shadow_.SetShadowOffset(0, 0);
    }

    void Resize(int w, int h) {
        ::SetWindowPos(parent_, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    HWND parent_ = nullptr;
    CWndShadow shadow_;
};

}  // namespace

TEST(WndShadowClass, RegistersOnceOnly) {
    ASSERT_TRUE(g_shadowMap.empty());
    if (g_updateLayeredWindow) {  // start from a fresh process state, whatever ran before
        ::UnregisterClassW(L"UmbraShadowWnd", g_shadowInstance);
        g_updateLayeredWindow = nullptr;
    }
    ASSERT_TRUE(CWndShadow::RegisterShadowClass(Instance()));
    EXPECT_EQ(reinterpret_cast<void*>(g_updateLayeredWindow),
              reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "UpdateLayeredWindow")));
    EXPECT_EQ(g_shadowInstance, Instance());
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    ASSERT_TRUE(::GetClassInfoExW(Instance(), L"UmbraShadowWnd", &wc));
    EXPECT_EQ(wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
    EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    EXPECT_EQ(wc.hCursor, ::LoadCursorW(nullptr, IDC_ARROW));

    EXPECT_FALSE(CWndShadow::RegisterShadowClass(::GetModuleHandleW(L"kernel32.dll")));
    EXPECT_EQ(g_shadowInstance, Instance());
}

TEST(WndShadowClass, DefaultsBeforeAttaching) {
    CWndShadow s;
    EXPECT_EQ(s.hwnd, INVALID_HANDLE_VALUE);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.darkness, 150);
    EXPECT_EQ(s.sharpness, 5);
    EXPECT_EQ(s.size, 0);
    EXPECT_EQ(s.offsetX, 5);
    EXPECT_EQ(s.offsetY, 5);
    EXPECT_EQ(s.color, 0u);
    EXPECT_EQ(s.lastSize, 0);
    EXPECT_FALSE(s.updatePending);
    s.SetShadowSize(-2);  // not attached: stored, nothing drawn
    s.SetShadowOffset(1, 2);
    EXPECT_EQ(s.size, -2);
    EXPECT_EQ(s.offsetX, 1);
    EXPECT_EQ(s.offsetY, 2);
}

TEST_F(WndShadowWindow, AttachesToAVisibleParentAndFollowsIt) {
    const HWND parent = CreateParent(true);
    ASSERT_NE(parent, nullptr);
    Attach(parent);
    const HWND shadow = shadow_.hwnd;
    ASSERT_TRUE(::IsWindow(shadow));
    EXPECT_EQ(::GetWindowLongW(shadow, GWL_EXSTYLE) & (WS_EX_LAYERED | WS_EX_TRANSPARENT),
              WS_EX_LAYERED | WS_EX_TRANSPARENT);
    EXPECT_EQ(::GetWindow(shadow, GW_OWNER), parent);
    EXPECT_TRUE(::IsWindowVisible(shadow));
    EXPECT_EQ(shadow_.status, CWndShadow::kEnabled | CWndShadow::kVisible | CWndShadow::kParentVisible);
    EXPECT_TRUE(ShadowAround(shadow, parent, 4));
    EXPECT_EQ(::GetWindowLongPtrW(parent, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&CWndShadow::ParentWindowProc));
    ASSERT_EQ(g_shadowMap.count(parent), 1u);
    EXPECT_EQ(g_shadowMap[parent], &shadow_);

    // A second attach, or a second shadow on the same parent, changes nothing.
    shadow_.AttachToParent(parent);
    EXPECT_EQ(shadow_.hwnd, shadow);
    EXPECT_NE(shadow_.parentProc, &CWndShadow::ParentWindowProc);
    CWndShadow other;
    other.AttachToParent(parent);
    EXPECT_EQ(other.hwnd, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_shadowMap[parent], &shadow_);

    // Moving repositions only; the end of a move redraws with the current values.
    ::SetWindowPos(parent, nullptr, 150, 120, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(ShadowAround(shadow, parent, 4));
    shadow_.offsetX = 3;
    ::SendMessageW(parent, WM_EXITSIZEMOVE, 0, 0);
    EXPECT_TRUE(ShadowAround(shadow, parent, 4, 3, 0));

    ::DestroyWindow(parent);
    EXPECT_FALSE(::IsWindow(shadow));
    EXPECT_EQ(g_shadowMap.count(parent), 0u);
    EXPECT_EQ(shadow_.hwnd, INVALID_HANDLE_VALUE);
}

TEST_F(WndShadowWindow, MinimisingHidesAndRestoringShows) {
    const HWND parent = CreateParent(true);
    ASSERT_NE(parent, nullptr);
    Attach(parent);
    ASSERT_TRUE(::IsWindowVisible(shadow_.hwnd));

    ::ShowWindow(parent, SW_MINIMIZE);
    Pump();
    EXPECT_FALSE(::IsWindowVisible(shadow_.hwnd));
    EXPECT_FALSE(shadow_.status & CWndShadow::kVisible);
    EXPECT_TRUE(shadow_.status & CWndShadow::kParentVisible);

    ::ShowWindow(parent, SW_RESTORE);
    EXPECT_TRUE(shadow_.status & CWndShadow::kVisible);
    EXPECT_TRUE(PumpUntil([&] { return !shadow_.updatePending; }));
    EXPECT_TRUE(::IsWindowVisible(shadow_.hwnd));
    EXPECT_TRUE(ShadowAround(shadow_.hwnd, parent, 4));
}

TEST_F(WndShadowWindow, GrowingRedrawsAtPaintShrinkingAtSize) {
    const HWND parent = CreateParent(true);
    ASSERT_NE(parent, nullptr);
    Attach(parent);
    ASSERT_TRUE(ShadowAround(shadow_.hwnd, parent, 4));

    Resize(340, 240);
    EXPECT_TRUE(shadow_.updatePending);
    EXPECT_EQ(shadow_.lastSize, MAKELPARAM(340, 240));
    const RECT before = WindowRect(shadow_.hwnd);
    EXPECT_EQ(before.right - before.left, 308);  // not yet redrawn
    EXPECT_TRUE(PumpUntil([&] { return !shadow_.updatePending; }));
    EXPECT_TRUE(ShadowAround(shadow_.hwnd, parent, 4));

    Resize(320, 220);
    EXPECT_FALSE(shadow_.updatePending);
    EXPECT_TRUE(ShadowAround(shadow_.hwnd, parent, 4));  // redrawn at WM_SIZE

    Resize(320, 220 + 10);  // taller only: still growing
    EXPECT_TRUE(shadow_.updatePending);
}

TEST_F(WndShadowWindow, HidingAndShowingTheParent) {
    const HWND parent = CreateParent(false);
    ASSERT_NE(parent, nullptr);
    Attach(parent);
    ASSERT_TRUE(::IsWindow(shadow_.hwnd));
    EXPECT_EQ(shadow_.status, CWndShadow::kEnabled);
    EXPECT_FALSE(::IsWindowVisible(shadow_.hwnd));

    ::ShowWindow(parent, SW_SHOWNA);
    EXPECT_EQ(shadow_.status, CWndShadow::kEnabled | CWndShadow::kVisible | CWndShadow::kParentVisible);
    EXPECT_TRUE(::IsWindowVisible(shadow_.hwnd));
    EXPECT_TRUE(PumpUntil([&] { return !shadow_.updatePending; }));
    EXPECT_TRUE(ShadowAround(shadow_.hwnd, parent, 4));

    ::ShowWindow(parent, SW_HIDE);
    EXPECT_EQ(shadow_.status, CWndShadow::kEnabled);
    EXPECT_FALSE(::IsWindowVisible(shadow_.hwnd));
}
