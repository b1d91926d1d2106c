#include <gtest/gtest.h>
#include <shlwapi.h>
#include <windows.h>

#include <ctime>
#include <cwchar>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "base/Owners.h"
#include "stats/InstallerInfo.h"

namespace {

void WriteTextFile(const std::wstring& path, const std::string& text) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << "cannot create " << ::GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

// Starts the probe copied under fileName (with an optional installer.ini beside it) and returns
// the lines it wrote: channel, version, build, engine.
std::vector<std::wstring> RunProbeAs(const std::wstring& fileName, const std::string& ini = {}) {
    static int run = 0;
    const std::wstring folder = FreshScratch(L"probe" + std::to_wstring(run++));
    const std::wstring exe = folder + L"\\" + fileName;
    if (!::CopyFileW(WinPathFromEnv(L"VEXO_IDENTITY_PROBE").c_str(), exe.c_str(), FALSE)) return {};
    if (!ini.empty()) WriteTextFile(folder + L"\\installer.ini", ini);

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi))
        return {};
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    if (::WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 99);
        return {};
    }
    std::string bytes;
    if (!ReadWholeFile(folder + L"\\identity.txt", &bytes)) return {};
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::vector<std::wstring> lines;
    for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

bool LooksLikeGuid(const std::wstring& id) {
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); ++i) {
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        const wchar_t c = id[i];
        if (hyphen ? c != L'-' : !((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return true;
}

}  // namespace

TEST(InstallerIdentity, ChannelComesFromTheRunningInstallersFileName) {
    const struct {
        const wchar_t* fileName;
        const wchar_t* channel;
    } rows[] = {
        {L"Vexosetup_1.0.6.30_full_web_07.exe", L"web_07"},
        {L"Vexosetup_a_b_site9.exe", L"site9"},
        {L"Vexosetup_a_b_c_d_e.exe", L"c_d"},
        {L"Vexosetup__a__b___c.exe", L"c"},
        {L"Vexosetup_a_b_hdpack_x.exe", L"_x"},
        {L"Vexosetup_a_b_HD_x.exe", L"HD_x"},
        {L"Vexosetup_a_b_c_chdx.exe", L"c"},
        {L"Vexosetup_a_b.exe", L"ot"},
        {L"Vexosetup.exe", L"ot"},
        {L"Setup_a_b_c_d.exe", L"ot"},      // no marker: the fields are not looked at
        {L"vexosetup_a_b_c_d.exe", L"ot"},  // the marker's case matters
    };
    for (const auto& row : rows) {
        const auto lines = RunProbeAs(row.fileName);
        ASSERT_EQ(lines.size(), 4u) << "probe did not run as " << testing::PrintToString(std::wstring(row.fileName));
        EXPECT_EQ(lines[0], row.channel) << testing::PrintToString(std::wstring(row.fileName));
    }
}

TEST(InstallerIdentity, SettingsFileBesideTheInstallerIsRead) {
    const auto lines = RunProbeAs(L"Vexosetup_1_2_web.exe", "[Platform]\r\nversion=2.1.0.1\r\nbuild=\r\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], L"2.1.0.1");
    EXPECT_EQ(lines[2], L"");  // present but empty stays empty
    EXPECT_EQ(lines[3], L"0.9.8.4114");
}

TEST(InstallerSettings, DefaultsWhenMissingValuesCutAt254) {
    const std::wstring folder = FreshScratch(L"ini");
    const InstallerInfo missing = ReadInstallerSettings(folder + L"\\installer.ini");
    EXPECT_EQ(missing.version, L"1.0.6.30");
    EXPECT_EQ(missing.build, L"kavix2015083012_build");
    EXPECT_EQ(missing.engine, L"0.9.8.4114");

    const std::string longEngine(300, 'e');
    WriteTextFile(folder + L"\\values.ini",
                  "[Other]\r\nbuild=wrong\r\n[Platform]\r\nbuild=b7\r\nversion=3.0\r\nengine=" + longEngine + "\r\n");
    const InstallerInfo values = ReadInstallerSettings(folder + L"\\values.ini");
    EXPECT_EQ(values.build, L"b7");
    EXPECT_EQ(values.version, L"3.0");
    EXPECT_EQ(values.engine, std::wstring(254, L'e'));
}

class ProductKey : public ::testing::Test {
protected:
    static constexpr wchar_t kScratch[] = L"Software\\VexoTests\\identity";
    void SetUp() override { ::SHDeleteKeyW(HKEY_CURRENT_USER, kScratch); }
    void TearDown() override { ::SHDeleteKeyW(HKEY_CURRENT_USER, kScratch); }

    // A REG_SZ value's text; its byte count must include the terminating null.
    static std::wstring ReadText(const wchar_t* name) {
        wchar_t text[64] = {};
        DWORD type = 0, bytes = sizeof text - sizeof(wchar_t);
        if (::SHGetValueW(HKEY_CURRENT_USER, kScratch, name, &type, text, &bytes) != ERROR_SUCCESS) return L"<missing>";
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(bytes, (std::wcslen(text) + 1) * sizeof(wchar_t));
        return text;
    }
    static void WriteUuid(const std::wstring& text) {
        const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        ASSERT_EQ(::SHSetValueW(HKEY_CURRENT_USER, kScratch, L"UUID", REG_SZ, text.c_str(), bytes), ERROR_SUCCESS);
    }
    // Windows refuses a lasting subkey below a volatile key.
    static LONG CreateLastingChild() {
        UniqueRegKey child;
        return ::RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kScratch) + L"\\child").c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, child.out(), nullptr);
    }
};

TEST_F(ProductKey, ChannelAndStartTimeAreStoredAsText) {
    SaveChannel(L"web_07", HKEY_CURRENT_USER, kScratch);
    EXPECT_EQ(ReadText(L"Channel"), L"web_07");

    const __time64_t before = _time64(nullptr);
    SaveInstallTime(HKEY_CURRENT_USER, kScratch);
    const __time64_t after = _time64(nullptr);
    const std::wstring stored = ReadText(L"InstallTime");
    wchar_t* end = nullptr;
    const long seconds = std::wcstol(stored.c_str(), &end, 10);
    EXPECT_EQ(*end, L'\0') << "not a plain decimal: " << testing::PrintToString(stored);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
}

TEST_F(ProductKey, CreatedToLastButAnExistingKeyIsKeptAsItIs) {
    SaveChannel(L"a", HKEY_CURRENT_USER, kScratch);
    EXPECT_EQ(CreateLastingChild(), ERROR_SUCCESS) << "the product key was created volatile";

    ::SHDeleteKeyW(HKEY_CURRENT_USER, kScratch);
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kScratch, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                key.out(), nullptr),
              ERROR_SUCCESS);
    key.reset();
    SaveChannel(L"b", HKEY_CURRENT_USER, kScratch);
    EXPECT_EQ(ReadText(L"Channel"), L"b");
    EXPECT_EQ(CreateLastingChild(), ERROR_CHILD_MUST_BE_VOLATILE) << "the existing key was replaced";
}

TEST_F(ProductKey, ClientIdIsCreatedOnceAndThenReused) {
    EXPECT_EQ(ReadClientId(HKEY_CURRENT_USER, kScratch), L"");
    const std::wstring id = GetClientId(HKEY_CURRENT_USER, kScratch);
    EXPECT_TRUE(LooksLikeGuid(id)) << testing::PrintToString(id);
    EXPECT_EQ(ReadText(L"UUID"), id);
    EXPECT_EQ(GetClientId(HKEY_CURRENT_USER, kScratch), id);
}

TEST_F(ProductKey, StoredClientIdIsUsedVerbatimUnlessEmpty) {
    WriteUuid(L"abc");
    EXPECT_EQ(GetClientId(HKEY_CURRENT_USER, kScratch), L"abc");
    EXPECT_EQ(ReadText(L"UUID"), L"abc");

    WriteUuid(L"");
    const std::wstring id = GetClientId(HKEY_CURRENT_USER, kScratch);
    EXPECT_TRUE(LooksLikeGuid(id)) << testing::PrintToString(id);
    EXPECT_EQ(ReadText(L"UUID"), id);
}

TEST(ClientId, GuidFieldsInOrderLowerCaseWithLeadingZeros) {
    const GUID guid = {0x00000abc, 0x0d0e, 0xF00F, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_EQ(FormatClientId(guid), L"00000abc-0d0e-f00f-0123-456789abcdef");
}
