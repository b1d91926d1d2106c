#include "base/Text.h"

#include <climits>
#include <cwchar>

namespace {

int NarrowLength(UINT codePage, const wchar_t* text, int chars) {
    return chars == 0 ? 0 : ::WideCharToMultiByte(codePage, 0, text, chars, nullptr, 0, nullptr, nullptr);
}

}  // namespace

UINT UserAnsiCodePage() noexcept {
    wchar_t buf[8] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, buf, 8) > 0) {
        const UINT cp = static_cast<UINT>(wcstoul(buf, nullptr, 10));
        if (cp != 0) return cp;
    }
    return CP_ACP;
}

std::string ToNarrow(const std::wstring& text, UINT codePage, size_t maxBytes) {
    if (text.size() > INT_MAX) return {};
    int chars = static_cast<int>(text.size());
    int bytes = NarrowLength(codePage, text.data(), chars);
    if (bytes <= 0) return {};
    while (chars > 0 && static_cast<size_t>(bytes) > maxBytes) {
        --chars;
        if (chars > 0 && IS_LOW_SURROGATE(text[chars]) && IS_HIGH_SURROGATE(text[chars - 1])) --chars;
        bytes = NarrowLength(codePage, text.data(), chars);
    }
    std::string out(static_cast<size_t>(bytes), '\0');
    if (bytes > 0) ::WideCharToMultiByte(codePage, 0, text.data(), chars, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::string ToUserAnsi(const std::wstring& text, size_t maxBytes) {
    return ToNarrow(text, UserAnsiCodePage(), maxBytes);
}

std::wstring ToWide(const char* bytes, size_t length, UINT codePage, DWORD flags) {
    if (bytes == nullptr || length == 0 || length > INT_MAX) return {};
    const int n = static_cast<int>(length);
    const int size = ::MultiByteToWideChar(codePage, flags, bytes, n, nullptr, 0);
    if (size <= 0) return {};
    std::wstring text(static_cast<size_t>(size), L'\0');
    const int converted = ::MultiByteToWideChar(codePage, flags, bytes, n, &text[0], size);
    if (converted <= 0) return {};
    text.resize(static_cast<size_t>(converted));
    return text;
}
