// In the shared prefix (32-bit Windows 7), whose registry is only read here. Other versions and
// bitnesses, and product names written on purpose, are covered by editions.sh in prefixes of
// their own.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "prereq/OsVersion.h"

namespace {

// The value as the registry holds it, read without any length limit.
std::wstring RegistryText(const wchar_t* name) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                        key.out()) != ERROR_SUCCESS)
        return L"<no key>";
    std::vector<wchar_t> text(4096);
    DWORD bytes = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
        ERROR_SUCCESS)
        return L"<missing>";
    return text.data();
}

std::string Narrow(const std::wstring& text) { return ToUserAnsi(text, 4096); }

}  // namespace

TEST(EditionChecks, NoneHoldOnWindows7AndEachLogsItsNameAndTheTexts) {
    const std::wstring path = FreshScratch(L"editions") + L"\\tmp.log";
    ASSERT_NE(InitLogAt(path), nullptr);
    ASSERT_TRUE(g_log->isOpen);

    EXPECT_FALSE(IsWindows832Bit());
    EXPECT_FALSE(IsWindows864Bit());
    EXPECT_FALSE(IsWindows8132Bit());
    EXPECT_FALSE(IsWindows8164Bit());
    EXPECT_FALSE(IsWindows1032Bit());
    EXPECT_FALSE(IsWindows1064Bit());

    ASSERT_EQ(RegistryText(L"CurrentVersion"), L"6.1");  // the shared prefix is Windows 7
    const std::string texts = "current product " + Narrow(RegistryText(L"ProductName")) + " and version 6.1";
    std::vector<std::string> want;
    for (const char* name : {"IsWindows832Bit", "IsWindows864Bit", "IsWindows8132Bit", "IsWindows8164Bit",
                             "IsWindows1032Bit", "IsWindows1064Bit"}) {
        want.push_back("[INFORMATION] " + std::string(name) + "1");
        want.push_back("[INFORMATION] " + texts);
        want.push_back("[INFORMATION] " + std::string(name) + "2");
    }
    std::string log;
    ASSERT_TRUE(ReadWholeFile(path, &log));
    std::vector<std::string> got;
    // Each line ends in " [date time]".
    for (size_t start = 0, nl; (nl = log.find('\n', start)) != std::string::npos; start = nl + 1)
        got.push_back(log.substr(start, log.rfind(" [", nl) - start));
    EXPECT_EQ(got, want);
}
