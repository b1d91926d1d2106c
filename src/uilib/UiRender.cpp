// Drawing: colours, text, and the skin's PNG images. Each image is decoded once by GDI+ into a
// premultiplied 32-bit DIB and then drawn with GdiAlphaBlend (or BitBlt when it is opaque), so a
// paint does no GDI+ work.

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

namespace UiLib {
namespace detail {

namespace {

struct Image {
    UniqueGdiObject bitmap;
    int width = 0;
    int height = 0;
    bool alpha = false;  // some pixel is not opaque
};

// File name (lower case) to decoded image; null for a file that could not be read or decoded,
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

const Image* GetImage(const std::wstring& file) {
    std::wstring key = file;
    for (auto& c : key) c = static_cast<wchar_t>(towlower(c));
    auto& cache = ImageCache();
    const auto found = cache.find(key);
    if (found != cache.end()) return found->second.get();
    std::string bytes;
    auto& image = cache[key];
    if (CPaintManagerUI::ReadSkinFile(file.c_str(), &bytes)) image = Decode(bytes);
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

bool DrawImageAttr(HDC dc, const RECT& box, const RECT& clip, const std::wstring& text) {
    const ImageAttr attr = ParseImageAttr(text);
    if (attr.file.empty()) return false;
    const Image* image = GetImage(attr.file);
    if (!image) return false;
    const RECT source = attr.hasSource ? attr.source : RECT{0, 0, image->width, image->height};
    RECT dest = box;
    if (attr.hasDest) {
        dest = RECT{box.left + attr.dest.left, box.top + attr.dest.top, box.left + attr.dest.right,
                    box.top + attr.dest.bottom};
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
