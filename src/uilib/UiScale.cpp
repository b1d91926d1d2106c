// The window's scale: its DPI, the skin's lengths at it, and the image sets drawn for it.

#include "uilib/UiScale.h"

#include <algorithm>
#include <vector>

#include "base/Owners.h"
#include "base/SystemApi.h"

namespace UiLib {

int WindowDpi(HWND window) {
    using GetDpiForWindowProc = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = SystemFunctionAs<GetDpiForWindowProc>(SystemFunction::GetDpiForWindow);
    if (getDpiForWindow && window) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    const WindowDc screen(nullptr);
    const int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
    return dpi > 0 ? dpi : kSkinDpi;
}

RECT ScaleRect(const RECT& rect, int dpi) {
    return RECT{ScaleLength(rect.left, dpi), ScaleLength(rect.top, dpi), ScaleLength(rect.right, dpi),
                ScaleLength(rect.bottom, dpi)};
}

namespace {

long Floor(long value, int dpi) {
    const long long scaled = static_cast<long long>(value) * kSkinDpi;
    return static_cast<long>(scaled >= 0 ? scaled / dpi : -((-scaled + dpi - 1) / dpi));
}

long Ceil(long value, int dpi) { return -Floor(-value, dpi); }

}  // namespace

RECT UnscaleRect(const RECT& rect, int dpi) {
    if (dpi == kSkinDpi || dpi <= 0) return rect;
    return RECT{Floor(rect.left, dpi), Floor(rect.top, dpi), Ceil(rect.right, dpi), Ceil(rect.bottom, dpi)};
}

int ImageSetPercent(int dpi) {
    if (dpi <= kSkinDpi) return 100;
    return dpi * 2 <= kSkinDpi * 3 ? 150 : 200;
}

std::wstring ImageSetFile(const std::wstring& file, int percent) {
    if (percent == 100) return file;
    const size_t dot = file.find_last_of(L'.');
    const size_t base =
        dot == std::wstring::npos || file.find_first_of(L"\\/", dot) != std::wstring::npos ? file.size() : dot;
    return file.substr(0, base) + (percent == 150 ? L"@1.5x" : L"@2x") + file.substr(base);
}

namespace {

struct Tap {
    int source;
    float weight;
};

// For each target pixel, the source pixels it covers and how much of each, summing to 1.
std::vector<std::vector<Tap>> AreaTaps(int sourceLength, int targetLength) {
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(targetLength));
    const double ratio = static_cast<double>(sourceLength) / targetLength;
    for (int i = 0; i < targetLength; ++i) {
        const double from = i * ratio, to = std::min((i + 1) * ratio, static_cast<double>(sourceLength));
        for (int j = static_cast<int>(from); j < sourceLength && j < to; ++j) {
            const double covered = std::min(to, j + 1.0) - std::max(from, static_cast<double>(j));
            if (covered > 0) taps[i].push_back(Tap{j, static_cast<float>(covered / (to - from))});
        }
    }
    return taps;
}

}  // namespace

void ShrinkPixels(const uint32_t* source, int sourceWidth, int sourceHeight, uint32_t* target, int targetWidth,
                  int targetHeight) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || targetWidth <= 0 || targetHeight <= 0) return;
    const auto across = AreaTaps(sourceWidth, targetWidth);
    const auto down = AreaTaps(sourceHeight, targetHeight);
    // Across each source row first, four channels a pixel, then down each column.
    std::vector<float> rows(static_cast<size_t>(sourceHeight) * targetWidth * 4, 0.0f);
    for (int y = 0; y < sourceHeight; ++y) {
        const uint32_t* in = source + static_cast<size_t>(y) * sourceWidth;
        float* out = &rows[static_cast<size_t>(y) * targetWidth * 4];
        for (int x = 0; x < targetWidth; ++x) {
            for (const Tap& tap : across[x]) {
                const uint32_t pixel = in[tap.source];
                for (int c = 0; c < 4; ++c) out[x * 4 + c] += tap.weight * ((pixel >> (8 * c)) & 0xFF);
            }
        }
    }
    for (int y = 0; y < targetHeight; ++y) {
        for (int x = 0; x < targetWidth; ++x) {
            float sum[4] = {0, 0, 0, 0};
            for (const Tap& tap : down[y]) {
                const float* in = &rows[(static_cast<size_t>(tap.source) * targetWidth + x) * 4];
                for (int c = 0; c < 4; ++c) sum[c] += tap.weight * in[c];
            }
            uint32_t pixel = 0;
            for (int c = 0; c < 4; ++c) {
                const int value = static_cast<int>(sum[c] + 0.5f);
                pixel |= static_cast<uint32_t>(std::min(255, std::max(0, value))) << (8 * c);
            }
            target[static_cast<size_t>(y) * targetWidth + x] = pixel;
        }
    }
}

}  // namespace UiLib
