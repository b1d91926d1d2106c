#include "ui/WndShadow.h"

#include <float.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/Owners.h"
#include "base/SystemApi.h"

namespace {

constexpr wchar_t kShadowClass[] = L"UmbraShadowWnd";

// Alpha in bits 24-31, the colour premultiplied by it below (the DIB's byte order is B, G, R).
uint32_t Premultiplied(COLORREF color, uint32_t alpha) {
    return alpha << 24 | (GetRValue(color) * alpha / 255) << 16 | (GetGValue(color) * alpha / 255) << 8 |
           (GetBValue(color) * alpha / 255);
}

bool IsEmpty(const ScanLine& line) { return line.start >= line.end; }

// The kernel's alphas are truncated, so they must come out of double arithmetic exactly: on
// x86 the x87 unit (which the 32-bit build uses, set to 64-bit mantissas by the runtime) would
// otherwise give (1 - 2 / 6) x 150 as 99.99... (99) rather than double's 100.000...01 (100).
class DoublePrecisionScope {
public:
#if defined(__i386__)
    DoublePrecisionScope() : saved_(::_controlfp(0, 0)) { ::_controlfp(_PC_53, _MCW_PC); }
    ~DoublePrecisionScope() { ::_controlfp(saved_, _MCW_PC); }

private:
    unsigned int saved_;
#endif
};

}  // namespace

std::vector<ScanLine> ParentScanLines(HRGN region, int width, int height) {
    std::vector<ScanLine> lines(static_cast<size_t>(std::max(height, 0)), ScanLine{width, 0});
    if (!region) return lines;
    for (int i = 0; i < height; ++i) {
        int x = 0;
        while (x < width && !::PtInRegion(region, x, i)) ++x;
        if (x == width) continue;
        lines[i].start = x;
        for (int end = width - 1; end >= x; --end) {
            if (::PtInRegion(region, end, i)) {
                lines[i].end = end + 1;
                break;
            }
        }
    }
    return lines;
}

void RenderShadow(HRGN region, int width, int height, const ShadowParams& params, uint32_t* bits) {
    const int S = params.size;
    const int W = width, H = height;
    const int SW = W + 2 * S, SH = H + 2 * S;
    if (!bits || W < 0 || H < 0 || SW <= 0 || SH <= 0) return;
    const int sharpness = params.sharpness, darkness = params.darkness;

    // 1-2. The parent's scan lines, and the shadow table of N + 2 rows around them.
    const std::vector<ScanLine> parent = ParentScanLines(region, W, H);
    const int N = std::max(H, SH);
    const ScanLine empty{W, 0};
    std::vector<ScanLine> table(static_cast<size_t>(N) + 2, empty);
    const int firstParentRow = S > 0 ? S + 1 : 1;
    for (int i = 0; i < H; ++i) {
        if (!IsEmpty(parent[i])) table[i + firstParentRow] = {parent[i].start + S, parent[i].end + S};
    }

    // 3. Erosion; rows 0 and N + 1 stay empty.
    std::vector<ScanLine> eroded(table.size(), empty);
    for (int pass = 0; pass < sharpness - S; ++pass) {
        for (int j = 1; j <= N; ++j) {
            eroded[j].start = std::max({table[j - 1].start, table[j].start, table[j + 1].start}) + 1;
            eroded[j].end = std::min({table[j - 1].end, table[j].end, table[j + 1].end}) - 1;
        }
        table.swap(eroded);
    }

    // 4. Shadow row y is table row y + 1 (y + 1 - S when S < 0).
    const int rowShift = 1 - std::min(S, 0);
    auto line = [&](int y) -> const ScanLine& { return table[y + rowShift]; };
    auto pixelRow = [&](int y) { return bits + static_cast<size_t>(SH - 1 - y) * SW; };  // bottom-up

    // 5. Kernel.
    const int K = std::max(S, sharpness);
    const int C = S > sharpness ? S - sharpness : 0;
    const int side = 2 * K + 1;
    std::vector<uint32_t> kernel(static_cast<size_t>(side) * side);
    const DoublePrecisionScope doublePrecision;
    for (int k = 0; k < side; ++k) {
        for (int l = 0; l < side; ++l) {
            const double d = std::sqrt(static_cast<double>((k - K) * (k - K) + (l - K) * (l - K)));
            uint32_t alpha = 0;
            if (d < C)
                alpha = darkness;
            else if (d <= K)
                alpha = static_cast<uint32_t>((1 - (d - C) / (sharpness + 1)) * darkness);
            kernel[k * side + l] = Premultiplied(params.color, alpha);
        }
    }

    // 6. Blurred border. Stamping keeps the larger unsigned value, clipped to the bitmap.
    auto stamp = [&](int x, int y) {
        const int lFrom = std::max(0, K - x), lTo = std::min(side, SW - x + K);
        for (int k = std::max(0, K - y); k < std::min(side, SH - y + K); ++k) {
            uint32_t* out = pixelRow(y - K + k);
            const uint32_t* cell = &kernel[k * side];
            for (int l = lFrom; l < lTo; ++l) out[x - K + l] = std::max(out[x - K + l], cell[l]);
        }
    };
    for (int y = K; y < SH - K; ++y) {
        const ScanLine& cur = line(y);
        if (IsEmpty(cur)) continue;
        const ScanLine& up = line(y - 1);
        const ScanLine& down = line(y + 1);
        int x = cur.start;
        for (; x < std::min(std::max(up.start, down.start) + 1, cur.end); ++x) stamp(x, y);
        for (x = std::max(x, std::min(up.end, down.end) - 1); x < cur.end; ++x) stamp(x, y);
    }

    // 7. Core, and the hole under the parent.
    const uint32_t core = Premultiplied(params.color, static_cast<uint32_t>(darkness));
    auto fill = [&](int y, int from, int to, uint32_t value) {
        from = std::max(from, 0);
        to = std::min(to, SW);
        if (from < to) std::fill(pixelRow(y) + from, pixelRow(y) + to, value);
    };
    const int dx = S - params.offsetX;
    const int yFrom = std::max(std::min(K, std::max(S - params.offsetY, 0)), 0);
    const int yTo = std::min(std::max(SH - K, std::min(H + S - params.offsetY, H + 2 * S)), SH);
    for (int y = yFrom; y < yTo; ++y) {
        const ScanLine& cur = line(y);
        const int q = y - S + params.offsetY;
        if (q < 0 || q >= H) {
            fill(y, cur.start, cur.end, core);
            continue;
        }
        const ScanLine& p = parent[q];
        fill(y, cur.start, std::min(p.start + dx, cur.end), core);
        fill(y, p.start + dx, p.end + dx, 0);
        fill(y, std::max(p.end + dx, cur.start), cur.end, core);
    }
}

bool CWndShadow::RegisterShadowClass(HINSTANCE instance) {
    if (g_updateLayeredWindow) return false;
    const auto update = SystemFunctionAs<UpdateLayeredWindowProc>(SystemFunction::UpdateLayeredWindow);
    if (!update) return false;
    g_updateLayeredWindow = update;
    g_shadowInstance = instance;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kShadowClass;
    ::RegisterClassExW(&wc);  // not examined: a failure shows as no shadow window
    return true;
}

void CWndShadow::AttachToParent(HWND parent) {
    if (!g_updateLayeredWindow) return;
    // Attaching twice would subclass the parent with its own procedure, and a second shadow
    // on one parent would take over the first one's map entry: both are refused.
    if (hwnd != INVALID_HANDLE_VALUE || !::IsWindow(parent) || g_shadowMap.count(parent)) return;
    g_shadowMap[parent] = this;

    const HWND created = ::CreateWindowExW(WS_EX_LAYERED | WS_EX_TRANSPARENT, kShadowClass, nullptr, WS_POPUPWINDOW,
                                           CW_USEDEFAULT, 0, 0, 0, parent, nullptr, g_shadowInstance, nullptr);
    if (!created) {  // no shadow: leave the parent as it is
        g_shadowMap.erase(parent);
        return;
    }
    hwnd = created;

    const LONG style = ::GetWindowLongW(parent, GWL_STYLE);
    if (!(style & WS_VISIBLE)) {
        status = kEnabled;
    } else if (style & (WS_MAXIMIZE | WS_MINIMIZE)) {
        status = kEnabled | kParentVisible;
    } else {
        status = kEnabled | kVisible | kParentVisible;
        ::ShowWindow(hwnd, SW_SHOWNA);
        Redraw(parent);
    }

    parentProc = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(parent, GWLP_WNDPROC));
    ::SetWindowLongPtrW(parent, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWndShadow::ParentWindowProc));
}

void CWndShadow::SetShadowSize(int8_t newSize) {
    size = newSize;
    if (status & kVisible) Redraw(::GetWindow(hwnd, GW_OWNER));
}

void CWndShadow::SetShadowOffset(int8_t x, int8_t y) {
    offsetX = x;
    offsetY = y;
    if (status & kVisible) Redraw(::GetWindow(hwnd, GW_OWNER));
}

void CWndShadow::MoveToParent(HWND parent) {
    RECT r;
    if (!::GetWindowRect(parent, &r)) return;
    ::SetWindowPos(hwnd, HWND_TOP, r.left + offsetX - size, r.top + offsetY - size, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}

void CWndShadow::Redraw(HWND parent) {
    if (!g_updateLayeredWindow || hwnd == INVALID_HANDLE_VALUE) return;
    RECT r;
    if (!::GetWindowRect(parent, &r)) return;
    const int W = r.right - r.left, H = r.bottom - r.top;
    const int SW = W + 2 * size, SH = H + 2 * size;
    if (SW <= 0 || SH <= 0) return;  // no bitmap to show: leave the shadow window as it was

    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = SW;
    bmi.bmiHeader.biHeight = SH;  // bottom-up
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    bmi.bmiHeader.biSizeImage = static_cast<DWORD>(SW) * SH * 4;
    void* bits = nullptr;
    UniqueGdiObject dib(::CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || !bits) return;
    UniqueMemoryDc memDc(::CreateCompatibleDC(nullptr));
    if (!memDc) return;
    std::memset(bits, 0, static_cast<size_t>(SW) * SH * 4);

    {
        UniqueGdiObject region(::CreateRectRgn(0, 0, 0, 0));
        const HRGN rgn = static_cast<HRGN>(region.get());
        // No window region (ERROR) or an empty one: the shape is empty.
        const bool hasShape = rgn && ::GetWindowRgn(parent, rgn) > NULLREGION;
        RenderShadow(hasShape ? rgn : nullptr, W, H, Params(), static_cast<uint32_t*>(bits));
    }

    const ScopedSelect selected(memDc.get(), dib.get());
    POINT position{r.left + offsetX - size, r.top + offsetY - size};
    SIZE extent{SW, SH};
    POINT source{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    ::MoveWindow(hwnd, position.x, position.y, SW, SH, FALSE);
    g_updateLayeredWindow(hwnd, nullptr, &position, &extent, memDc.get(), &source, 0, &blend, ULW_ALPHA);
}

LRESULT CALLBACK CWndShadow::ParentWindowProc(HWND h, UINT msg, WPARAM wParam, LPARAM lParam) {
    const auto found = g_shadowMap.find(h);
    if (found == g_shadowMap.end()) return ::DefWindowProcW(h, msg, wParam, lParam);  // cannot happen once attached
    CWndShadow& s = *found->second;
    const WNDPROC next = s.parentProc;

    switch (msg) {
        case WM_MOVE:
            if (s.status & kVisible) s.MoveToParent(h);
            break;
        case WM_SIZE:
            if (!(s.status & kEnabled)) break;
            if (wParam == SIZE_MAXIMIZED || wParam == SIZE_MINIMIZED) {
                ::ShowWindow(s.hwnd, SW_HIDE);
                s.status &= ~kVisible;
            } else if (s.status & kParentVisible) {
                // A grown window's region may only be updated by its next WM_PAINT.
                if (LOWORD(lParam) > LOWORD(s.lastSize) || HIWORD(lParam) > HIWORD(s.lastSize))
                    s.updatePending = true;
                else
                    s.Redraw(h);
                if (!(s.status & kVisible)) {
                    ::ShowWindow(s.hwnd, SW_SHOWNA);
                    s.status |= kVisible;
                }
            }
            s.lastSize = lParam;
            break;
        case WM_PAINT:
            if (s.updatePending) {
                s.Redraw(h);
                s.updatePending = false;
            }
            break;
        case WM_SHOWWINDOW:
            if (!(s.status & kEnabled)) break;
            if (!wParam) {
                ::ShowWindow(s.hwnd, SW_HIDE);
                s.status &= ~(kVisible | kParentVisible);
            } else if (!(s.status & kParentVisible)) {
                s.updatePending = true;
                ::ShowWindow(s.hwnd, SW_SHOWNA);
                s.status |= kVisible | kParentVisible;
            }
            break;
        case WM_EXITSIZEMOVE:
            if (s.status & kVisible) s.Redraw(h);
            break;
        case WM_DESTROY:
            // The system may already have destroyed the owned shadow window; either way nothing
            // may touch its handle any more.
            if (::IsWindow(s.hwnd)) ::DestroyWindow(s.hwnd);
            s.hwnd = static_cast<HWND>(INVALID_HANDLE_VALUE);
            s.status = 0;
            s.updatePending = false;
            break;
        case WM_NCDESTROY:
            g_shadowMap.erase(found);
            break;
        default:
            break;
    }
    return ::CallWindowProcW(next, h, msg, wParam, lParam);
}
