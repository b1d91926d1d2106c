#include "stats/SystemProbe.h"

#include <cpuid.h>
#include <windows.h>

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <vector>

#include "base/Text.h"
#include "prereq/OsVersion.h"

namespace {

constexpr wchar_t kUnknown[] = L"UNKNOW";
constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

constexpr wchar_t kFieldsFormat[] =
    L"\"os\":\"%s\",\"resolution\":\"%s\",\"mem\":\"%s\",\"ostype\":\"%d\",\"time\":\"%s\",\"ver\":\"%s\","
    L"\"build\":\"%s\",\"ch\":\"%s\",\"engines\":\"%s\",\"vt\":\"%s\",\"opengles\":\"%s\",\"pcname\":\"%s\","
    L"\"cpu\":\"%s\",\"mac\":\"%s\",\"uuid\":\"%s\"";

// MSVCRT semantics: %s takes a wide string. Sized first, so no value is ever cut.
std::wstring FormatWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = _vscwprintf(format, args);
    va_end(args);
    if (length <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    va_start(args, format);
    _vsnwprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    return std::wstring(buffer.data(), static_cast<size_t>(length));
}

}  // namespace

std::wstring JsonEscape(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
            case L'"':
                out += L"\\\"";
                break;
            case L'\\':
                out += L"\\\\";
                break;
            case L'\b':
                out += L"\\b";
                break;
            case L'\f':
                out += L"\\f";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\r':
                out += L"\\r";
                break;
            case L'\t':
                out += L"\\t";
                break;
            default:
                if (c < 0x20) {
                    out += L"\\u00";
                    out += kHexDigits[c >> 4];
                    out += kHexDigits[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::wstring GetMemoryText() {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof status;  // 64
    // A failed query leaves the total at 0, which reads as "1".
    ::GlobalMemoryStatusEx(&status);
    const unsigned long long gigabytes = (status.ullTotalPhys >> 30) + 1;
    return FormatWide(L"%d", static_cast<int>(static_cast<DWORD>(gigabytes)));
}

std::wstring GetResolutionText() {
    return FormatWide(L"%d*%d", ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN));
}

std::wstring GetLocalTimeText() {
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    return FormatWide(L"%4u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                      now.wSecond);
}

std::wstring GetComputerNameText() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) return kUnknown;
    return name;
}

std::wstring GetCpuBrandText() {
    unsigned int highest = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(0x80000000u, 0, highest, ebx, ecx, edx);
    // 48 bytes of brand, then zeros: the text always ends.
    unsigned int brand[16] = {};
    if (highest >= 0x80000000u) {
        // Only leaves 0x80000002 to 0x80000004 carry the brand; stopping there also spares a bogus
        // huge maximum a long loop.
        const unsigned int last = highest < 0x80000004u ? highest : 0x80000004u;
        for (unsigned int leaf = 0x80000000u; leaf <= last; ++leaf) {
            unsigned int regs[4] = {};
            __cpuid_count(leaf, 0, regs[0], regs[1], regs[2], regs[3]);
            if (leaf >= 0x80000002u) std::memcpy(&brand[(leaf - 0x80000002u) * 4], regs, sizeof regs);
        }
    }
    const char* text = reinterpret_cast<const char*>(brand);
    return ToWide(text, std::strlen(text), CP_ACP);
}

std::wstring BuildCommonFields(InstallerInfo& info) {
    if (!info.commonFields.empty()) return info.commonFields;
    const std::wstring memory = GetMemoryText();
    const std::wstring osTag = GetOsTag();
    const int bits = GetSystemBits();
    const std::wstring resolution = GetResolutionText();
    const std::wstring time = GetLocalTimeText();
    const std::wstring computerName = GetComputerNameText();
    const std::wstring cpu = GetCpuBrandText();
    const std::wstring clientId = GetClientId();
    // Every text is escaped: a quote in installer.ini or in the computer name must not break the
    // report's JSON.
    auto e = [](const std::wstring& text) { return JsonEscape(text); };
    info.commonFields =
        FormatWide(kFieldsFormat, e(osTag).c_str(), e(resolution).c_str(), e(memory).c_str(), bits, e(time).c_str(),
                   e(info.version).c_str(), e(info.build).c_str(), e(info.channel).c_str(), e(info.engine).c_str(),
                   L"-1", kUnknown, e(computerName).c_str(), e(cpu).c_str(), kUnknown, e(clientId).c_str());
    return info.commonFields;
}
