#pragma once
// The one place where text changes between UTF-16 and a code page.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The user's default ANSI code page: what the C library's "" locale would pick, without
// switching the process-wide locale to find it.
UINT UserAnsiCodePage() noexcept;

// Wide text in a code page, cut to at most maxBytes whole characters (never half of a
// double-byte one or of a surrogate pair). Empty when nothing converts.
std::string ToNarrow(const std::wstring& text, UINT codePage, size_t maxBytes = SIZE_MAX);
// The same in the user's default ANSI code page.
std::string ToUserAnsi(const std::wstring& text, size_t maxBytes = SIZE_MAX);

// Bytes in a code page as wide text, every character kept (zeros too); empty when they do not
// convert. flags as MultiByteToWideChar takes them (0 for UTF-8).
std::wstring ToWide(const char* bytes, size_t length, UINT codePage, DWORD flags = 0);
inline std::wstring ToWide(const std::string& bytes, UINT codePage, DWORD flags = 0) {
    return ToWide(bytes.data(), bytes.size(), codePage, flags);
}
