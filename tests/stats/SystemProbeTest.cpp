#include <cpuid.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "stats/InstallerInfo.h"
#include "stats/SystemProbe.h"

namespace {

// The brand string straight from CPUID leaves 0x80000002 to 0x80000004, as ASCII.
std::wstring BrandFromCpuid() {
    char brand[49] = {};
    for (unsigned int i = 0; i < 3; ++i) {
        unsigned int regs[4] = {};
        if (!__get_cpuid(0x80000002u + i, &regs[0], &regs[1], &regs[2], &regs[3])) return L"";
        std::memcpy(brand + 16 * i, regs, sizeof regs);
    }
    return std::wstring(brand, brand + std::strlen(brand));
}

std::wstring Stamp(const SYSTEMTIME& t) {
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

}  // namespace

TEST(CommonFields, FifteenMembersFromMachineAndRecordEscapedAndBuiltOnce) {
    InstallerInfo info;
    info.version = L"1.0\"6";
    info.build = L"b\\7";
    info.channel = L"web\n07";
    info.engine = std::wstring(L"0.9") + L'\x01';

    SYSTEMTIME before = {}, after = {};
    ::GetLocalTime(&before);
    const std::wstring fields = BuildCommonFields(info);
    ::GetLocalTime(&after);
    EXPECT_EQ(info.commonFields, fields);

    const size_t at = fields.find(L"\"time\":\"");
    ASSERT_NE(at, std::wstring::npos) << testing::PrintToString(fields);
    const std::wstring time = fields.substr(at + 8, 19);
    EXPECT_LE(Stamp(before), time);
    EXPECT_LE(time, Stamp(after));

    MEMORYSTATUSEX memory = {};
    memory.dwLength = sizeof memory;
    ASSERT_TRUE(::GlobalMemoryStatusEx(&memory));
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(::GetComputerNameW(computer, &size));
    const std::wstring clientId = ReadClientId();  // stored by the first build
    EXPECT_EQ(clientId.size(), 36u);

    // The shared prefix is a 32-bit Windows 7.
    const std::wstring want =
        L"\"os\":\"windows_7\",\"resolution\":\"" + std::to_wstring(::GetSystemMetrics(SM_CXSCREEN)) + L"*" +
        std::to_wstring(::GetSystemMetrics(SM_CYSCREEN)) + L"\",\"mem\":\"" +
        std::to_wstring((memory.ullTotalPhys >> 30) + 1) + L"\",\"ostype\":\"32\",\"time\":\"" + time +
        L"\",\"ver\":\"1.0\\\"6\",\"build\":\"b\\\\7\",\"ch\":\"web\\n07\",\"engines\":\"0.9\\u0001\","
        L"\"vt\":\"-1\",\"opengles\":\"UNKNOW\",\"pcname\":\"" +
        JsonEscape(computer) + L"\",\"cpu\":\"" + JsonEscape(BrandFromCpuid()) + L"\",\"mac\":\"UNKNOW\",\"uuid\":\"" +
        clientId + L"\"";
    EXPECT_EQ(fields, want);

    // Kept for the whole run: later reports carry the same text, time included.
    info.version = L"9.9";
    info.channel = L"other";
    ::Sleep(1100);
    EXPECT_EQ(BuildCommonFields(info), fields);
    InstallerInfo prebuilt;
    prebuilt.commonFields = L"\"os\":\"kept\"";
    EXPECT_EQ(BuildCommonFields(prebuilt), L"\"os\":\"kept\"");
}

TEST(JsonEscape, QuotesBackslashesAndControlCharactersOnly) {
    EXPECT_EQ(JsonEscape(L""), L"");
    EXPECT_EQ(JsonEscape(L"PC-01 模拟器 é \x7f/'"), L"PC-01 模拟器 é \x7f/'");
    EXPECT_EQ(JsonEscape(L"a\"b\\c"), L"a\\\"b\\\\c");
    EXPECT_EQ(JsonEscape(L"\b\f\n\r\t"), L"\\b\\f\\n\\r\\t");
    EXPECT_EQ(JsonEscape(std::wstring(1, L'\0') + L"\x01\x0b\x1f "), L"\\u0000\\u0001\\u000b\\u001f ");
    EXPECT_EQ(JsonEscape(L"\xD83D\xDE00"), L"\xD83D\xDE00");  // a surrogate pair stays as it is
}
