// Drawing: colours, text, and the skin's PNG images. Each image is decoded once by GDI+ into a
// premultiplied 32-bit DIB and then drawn with GdiAlphaBlend (or BitBlt when it is opaque), so a
// paint does no GDI+ work. Above 96 DPI the image comes from the skin's set drawn for the scale
// (1.5x or 2x), scaled down once to the window's DPI.

#include <windows.h>

#include <objidl.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>

#include <gdiplus.h>

#include "base/Owners.h"
#include "base/SystemApi.h"
#include "uilib/UiInternal.h"
#include "uilib/UiScale.h"

namespace UiLib {
namespace detail {

namespace {

struct Image {
    UniqueGdiObject bitmap;
    int width = 0;
    int height = 0;
    bool alpha = false;  // some pixel is not opaque
    int dpi = kSkinDpi;  // its pixels per skin inch: source rectangles are scaled by it
};

// File name (lower case) and DPI to decoded image; null for a file that could not be read or decoded,
// so a missing image costs one look-up, not one archive read per paint.
std::map<std::wstring, std::unique_ptr<Image>>& ImageCache() {
    static auto* cache = new std::map<std::wstring, std::unique_ptr<Image>>();  // lives until the process ends
    return *cache;
}

// GDI+ is never imported: it is loaded at run time through the manifest's assembly.
#define GDIPLUS(function) VEXO_SYSTEM_CALL_IN(GdiPlus, Gdiplus::DllExports, function)

void DisposeBitmap(Gdiplus::GpBitmap* bitmap) noexcept { GDIPLUS(GdipDisposeImage)(bitmap); }
using GdiplusBitmap = ScopedHandle<FreedBy<Gdiplus::GpBitmap*, DisposeBitmap>>;

bool StartGdiplus() {
    static bool started = false;
    static bool tried = false;
    if (!tried) {
        tried = true;
        Gdiplus::GdiplusStartupInput input;
        ULONG_PTR token = 0;
        started = VEXO_SYSTEM_CALL_IN(GdiPlus, Gdiplus, GdiplusStartup)(&token, &input, nullptr) == Gdiplus::Ok;
    }
    return started;
}

std::unique_ptr<Image> Decode(const std::string& bytes) {
    if (bytes.empty() || !StartGdiplus()) return nullptr;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (!memory) return nullptr;
    void* data = GlobalLock(memory);
    memcpy(data, bytes.data(), bytes.size());
    GlobalUnlock(memory);
    // The stream owns the memory once it exists (and frees it on its release).
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, reinterpret_cast<IStream**>(stream.out())))) {
        GlobalFree(memory);
        return nullptr;
    }
    Gdiplus::GpBitmap* decoded = nullptr;
    std::unique_ptr<Image> image;
    if (GDIPLUS(GdipCreateBitmapFromStream)(stream.get(), &decoded) == Gdiplus::Ok && decoded) {
        const GdiplusBitmap bitmap(decoded);
        UINT width = 0, height = 0;
        GDIPLUS(GdipGetImageWidth)(decoded, &width);
        GDIPLUS(GdipGetImageHeight)(decoded, &height);
        Gdiplus::Rect rect(0, 0, static_cast<INT>(width), static_cast<INT>(height));
        Gdiplus::BitmapData locked = {};
        if (width > 0 && height > 0 &&
            GDIPLUS(GdipBitmapLockBits)(decoded, &rect, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &locked) ==
                Gdiplus::Ok) {
            BITMAPINFO info = {};
            info.bmiHeader.biSize = sizeof(info.bmiHeader);
            info.bmiHeader.biWidth = static_cast<LONG>(width);
            info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            info.bmiHeader.biCompression = BI_RGB;
            void* bits = nullptr;
            HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
            if (dib) {
                image.reset(new Image{UniqueGdiObject(dib), static_cast<int>(width), static_cast<int>(height), false});
                const auto* source = static_cast<const BYTE*>(locked.Scan0);
                auto* target = static_cast<BYTE*>(bits);
                for (UINT y = 0; y < height; ++y) {
                    const auto* row = reinterpret_cast<const DWORD*>(source + static_cast<INT>(y) * locked.Stride);
                    memcpy(target + y * width * 4, row, width * 4);
                    for (UINT x = 0; x < width && !image->alpha; ++x)
                        if ((row[x] >> 24) != 0xFF) image->alpha = true;
                }
                GdiFlush();
            }
            GDIPLUS(GdipBitmapUnlockBits)(decoded, &locked);
        }
    }
    return image;
}

// The set's image at `percent` scaled down to `dpi`; null when the set lacks the file.
std::unique_ptr<Image> FromImageSet(const std::wstring& file, int percent, int dpi) {
    std::string bytes;
    if (!CPaintManagerUI::ReadSkinFile(ImageSetFile(file, percent).c_str(), &bytes)) return nullptr;
    std::unique_ptr<Image> drawn = Decode(bytes);
    if (!drawn) return nullptr;
    const int setDpi = kSkinDpi * percent / 100;
    drawn->dpi = setDpi;
    if (dpi >= setDpi) return drawn;  // never scaled up: drawn stretched instead
    const int width = MulDiv(drawn->width, dpi, setDpi), height = MulDiv(drawn->height, dpi, setDpi);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib =
        width > 0 && height > 0 ? CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (!dib) return nullptr;
    std::unique_ptr<Image> image(new Image{UniqueGdiObject(dib), width, height, drawn->alpha, dpi});
    DIBSECTION section = {};
    if (GetObjectW(drawn->bitmap.get(), sizeof(section), &section) != sizeof(section) || !section.dsBm.bmBits)
        return nullptr;
    ShrinkPixels(static_cast<const uint32_t*>(section.dsBm.bmBits), drawn->width, drawn->height,
                 static_cast<uint32_t*>(bits), width, height);
    GdiFlush();
    return image;
}

const Image* GetImage(const std::wstring& file, int dpi) {
    std::wstring key = file;
    for (auto& c : key) c = static_cast<wchar_t>(towlower(c));
    if (dpi != kSkinDpi) key += L"@" + std::to_wstring(dpi);
    auto& cache = ImageCache();
    const auto found = cache.find(key);
    if (found != cache.end()) return found->second.get();
    auto& image = cache[key];
    const int percent = ImageSetPercent(dpi);
    if (percent != 100) image = FromImageSet(file, percent, dpi);
    if (!image) {  // the skin's own pixels, stretched where the skin has no larger set
        std::string bytes;
        if (CPaintManagerUI::ReadSkinFile(file.c_str(), &bytes)) image = Decode(bytes);
    }
    return image.get();
}

struct ImageAttr {
    std::wstring file;
    RECT source = {0, 0, 0, 0};
    RECT dest = {0, 0, 0, 0};
    bool hasSource = false;
    bool hasDest = false;
};

std::wstring Trim(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return L"";
    return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

// "a.png" or "file='a.png' source='l,t,r,b' dest='l,t,r,b'" (other keys are ignored).
ImageAttr ParseImageAttr(const std::wstring& text) {
    ImageAttr attr;
    if (text.find(L'=') == std::wstring::npos) {
        attr.file = Trim(text);
        return attr;
    }
    size_t i = 0;
    while (i < text.size()) {
        const size_t eq = text.find(L'=', i);
        if (eq == std::wstring::npos) break;
        const std::wstring key = Trim(text.substr(i, eq - i));
        size_t start = eq + 1;
        while (start < text.size() && text[start] == L' ') ++start;
        if (start >= text.size()) break;
        std::wstring value;
        if (text[start] == L'\'' || text[start] == L'"') {
            const size_t close = text.find(text[start], start + 1);
            const size_t end = close == std::wstring::npos ? text.size() : close;
            value = text.substr(start + 1, end - start - 1);
            i = end + 1;
        } else {
            size_t end = text.find(L' ', start);
            if (end == std::wstring::npos) end = text.size();
            value = text.substr(start, end - start);
            i = end;
        }
        if (key == L"file")
            attr.file = value;
        else if (key == L"source")
            attr.hasSource = ParseRect(value.c_str(), &attr.source);
        else if (key == L"dest")
            attr.hasDest = ParseRect(value.c_str(), &attr.dest);
    }
    return attr;
}

void Blit(HDC dc, const Image& image, RECT dest, RECT source, const RECT& clip) {
    source.left = std::max(0L, source.left);
    source.top = std::max(0L, source.top);
    source.right = std::min(static_cast<long>(image.width), source.right);
    source.bottom = std::min(static_cast<long>(image.height), source.bottom);
    if (IsRectEmpty(&source) || IsRectEmpty(&dest)) return;
    RECT visible;
    if (!IntersectRect(&visible, &dest, &clip)) return;
    bool clipDc = false;
    if (dest.right - dest.left == source.right - source.left && dest.bottom - dest.top == source.bottom - source.top) {
        // Unscaled: copy only the visible part.
        source.left += visible.left - dest.left;
        source.top += visible.top - dest.top;
        source.right -= dest.right - visible.right;
        source.bottom -= dest.bottom - visible.bottom;
        dest = visible;
    } else if (!EqualRect(&visible, &dest)) {
        clipDc = true;
        SaveDC(dc);
        IntersectClipRect(dc, visible.left, visible.top, visible.right, visible.bottom);
    }
    const UniqueMemoryDc memoryDc(CreateCompatibleDC(dc));
    const HDC memory = memoryDc.get();
    const ScopedSelect selected(memory, image.bitmap.get());
    const int dw = dest.right - dest.left, dh = dest.bottom - dest.top;
    const int sw = source.right - source.left, sh = source.bottom - source.top;
    if (image.alpha) {
        const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        GdiAlphaBlend(dc, dest.left, dest.top, dw, dh, memory, source.left, source.top, sw, sh, blend);
    } else if (dw == sw && dh == sh) {
        BitBlt(dc, dest.left, dest.top, dw, dh, memory, source.left, source.top, SRCCOPY);
    } else {
        SetStretchBltMode(dc, COLORONCOLOR);
        StretchBlt(dc, dest.left, dest.top, dw, dh, memory, source.left, source.top, sw, sh, SRCCOPY);
    }
    if (clipDc) RestoreDC(dc, -1);
}

}  // namespace

void FillColor(HDC dc, const RECT& rect, const RECT& clip, DWORD argb) {
    if ((argb >> 24) == 0) return;
    RECT part;
    if (!IntersectRect(&part, &rect, &clip)) return;
    SetBkColor(dc, ToColorRef(argb));
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &part, nullptr, 0, nullptr);  // a solid fill without a brush
}

bool DrawImageAttr(HDC dc, const RECT& box, const RECT& clip, const std::wstring& text, int dpi) {
    const ImageAttr attr = ParseImageAttr(text);
    if (attr.file.empty()) return false;
    const Image* image = GetImage(attr.file, dpi);
    if (!image) return false;
    const RECT source = attr.hasSource ? ScaleRect(attr.source, image->dpi) : RECT{0, 0, image->width, image->height};
    RECT dest = box;
    if (attr.hasDest) {
        const RECT offset = ScaleRect(attr.dest, dpi);
        dest = RECT{box.left + offset.left, box.top + offset.top, box.left + offset.right, box.top + offset.bottom};
    }
    Blit(dc, *image, dest, source, clip);
    return true;
}

void DrawText(HDC dc, const RECT& rect, const RECT& clip, const std::wstring& text, HFONT font, DWORD argb,
              UINT align) {
    RECT part;
    if (text.empty() || !IntersectRect(&part, &rect, &clip)) return;
    RECT box = rect;
    const ScopedSelect selected(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, ToColorRef(argb));
    ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box,
                align | DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
}

void ClearImageCache() { ImageCache().clear(); }

}  // namespace detail
}  // namespace UiLib
