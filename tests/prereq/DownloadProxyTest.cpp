#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestFiles.h"
#include "base/BuildConfig.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "prereq/DownloadProxy.h"
#include "prereq/NetFxDownloader.h"

// Downloads under the prefix's Internet settings: through the recording proxy the run started on
// the download host (VEXO_PROXY_DIR), or straight to the scripted download server (VEXO_NETFX_SERVER).
namespace {

TEST(DownloadProxyTest, ProxyAndBypassListsInLibcurlTerms) {
    const struct {
        const wchar_t* proxyList;
        const wchar_t* bypassList;
        const wchar_t* url;
        const char* proxy;
        const char* noProxy;
    } cases[] = {
        {L"a:1", L"", L"http://h/x", "a:1", ""},
        {L"http=a:1;https=b:2", L"", L"http://h/x", "a:1", ""},
        {L" HTTP=a:1\thttps=b:2 ", L"", L"http://h/x", "a:1", ""},
        {L"https=b:2;http=a:1", L"", L"https://h/x", "b:2", ""},
        {L"http=a:1;https=b:2", L"", L"h/x", "a:1", ""},
        {L"http=http://a:1", L"", L"http://h/x", "http://a:1", ""},
        {L"a:1;b:2", L"", L"http://h/x", "a:1", ""},
        {L"ftp=c:3;a:1", L"", L"http://h/x", "a:1", ""},
        // No proxy for this scheme: nothing to bypass either.
        {L"https=b:2;ftp=c:3", L"h", L"http://h/x", "", ""},
        {L"http=;a:1", L"", L"http://h/x", "a:1", ""},
        {L"", L"h", L"http://h/x", "", ""},
        {L"a:1", L"*.example.com; <local>\tintra  10.0.0.1;x.org,y.org", L"http://h/x", "a:1",
         ".example.com,intra,10.0.0.1,x.org,y.org"},
        {L"a:1", L"h;*;k", L"http://h/x", "a:1", "*"},
        {L"a:1", L"<-loopback>;10.*;a*b.com;*.*.c;*x;*", L"http://h/x", "a:1", "*"},
        {L"a:1", L"<-loopback>;10.*;a*b.com;*.*.c;*x;;", L"http://h/x", "a:1", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(std::wstring(c.proxyList) + L" | " + c.bypassList + L" | " + c.url));
        const DownloadProxy result = ProxyFromLists(c.proxyList, c.bypassList, c.url);
        EXPECT_EQ(result.proxy, c.proxy);
        EXPECT_EQ(result.noProxy, c.noProxy);
    }
}

constexpr wchar_t kConnections[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
constexpr wchar_t kSettings[] = L"DefaultConnectionSettings";
// The prefix's own value while a test has changed it (REG_NONE: there was none), so a killed run
// is undone by the next.
constexpr wchar_t kSaved[] = L"DefaultConnectionSettings.vexo-test-saved";

bool ReadValue(HKEY key, const wchar_t* name, DWORD* type, std::string* data) {
    DWORD size = 0;
    if (::RegQueryValueExW(key, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
    data->assign(size, '\0');
    if (size > 0 &&
        ::RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(&(*data)[0]), &size) != ERROR_SUCCESS)
        return false;
    data->resize(size);
    return true;
}

bool WriteValue(HKEY key, const wchar_t* name, DWORD type, const std::string& data) {
    return ::RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool DeleteValue(HKEY key, const wchar_t* name) {
    const LONG result = ::RegDeleteValueW(key, name);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// The current user's connection settings, put back as they were when the test ends.
class ConnectionSettings {
public:
    ConnectionSettings() {
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                              key_.out(), nullptr) != ERROR_SUCCESS)
            return;
        DWORD type = 0;
        std::string data;
        // A value saved by a run that was killed is the one to put back.
        if (ReadValue(key_.get(), kSaved, &type, &data)) {
            saved_ = true;
            return;
        }
        if (!ReadValue(key_.get(), kSettings, &type, &data)) type = REG_NONE;
        saved_ = WriteValue(key_.get(), kSaved, type, data);
    }
    ~ConnectionSettings() {
        DWORD type = 0;
        std::string data;
        if (!saved_ || !ReadValue(key_.get(), kSaved, &type, &data)) return;
        const bool restored =
            type == REG_NONE ? DeleteValue(key_.get(), kSettings) : WriteValue(key_.get(), kSettings, type, data);
        EXPECT_TRUE(restored);
        if (!restored) return;
        EXPECT_TRUE(DeleteValue(key_.get(), kSaved));
        // A fresh prefix has no such key: one left empty goes too.
        DWORD subkeys = 1, values = 1;
        if (::RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0 && values == 0) {
            key_.reset();
            EXPECT_EQ(::RegDeleteKeyW(HKEY_CURRENT_USER, kConnections), ERROR_SUCCESS);
        }
    }
    ConnectionSettings(const ConnectionSettings&) = delete;
    ConnectionSettings& operator=(const ConnectionSettings&) = delete;

    bool ready() const { return saved_; }
    bool Set(const std::string& blob) { return WriteValue(key_.get(), kSettings, REG_BINARY, blob); }
    // Without the value, Windows' defaults hold.
    bool Remove() { return DeleteValue(key_.get(), kSettings); }

private:
    UniqueRegKey key_;
    bool saved_ = false;
};

// Flags of the settings.
constexpr DWORD kDirect = 1, kFixed = 2, kScript = 4, kDetect = 8;

// The value as Wine reads it (found by writing it and reading it back through WinHTTP): a 0x46
// mark, a counter, the flags, then the proxy, the bypass list and the script's address, each an
// ANSI text after its length. Wine refuses a value that stops short of the third length.
std::string SettingsBlob(DWORD flags, const std::string& proxy, const std::string& bypass, const std::string& script) {
    std::string blob;
    auto add = [&blob](DWORD n) { blob.append(reinterpret_cast<const char*>(&n), sizeof n); };
    add(0x46);
    add(1);
    add(flags);
    for (const std::string* text : {&proxy, &bypass, &script}) {
        add(static_cast<DWORD>(text->size()));
        blob += *text;
    }
    blob.append(32, '\0');
    return blob;
}

std::string ReadAll(const std::wstring& path) {
    std::string data;
    return ReadWholeFile(path, &data) ? data : "<missing>";
}

std::string RawEnv(const char* name) {
    char value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? value : "";
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
        text->replace(at, from.size(), to);
}

enum class Value { Written, Missing, CutShort };

TEST(DownloadProxyTest, DownloadsFollowTheUsersSettings) {
    const std::wstring proxyDir = WinPathFromEnv(L"VEXO_PROXY_DIR");
    const std::wstring serverDir = WinPathFromEnv(L"VEXO_NETFX_SERVER");
    const std::string proxyPort = FirstLine(ReadAll(proxyDir + L"\\port"));
    const std::string refusedPort = FirstLine(ReadAll(serverDir + L"\\refused-port"));
    ASSERT_NE(proxyPort, "<missing>");
    ASSERT_NE(refusedPort, "<missing>");
    const std::string standIn = RawEnv("VEXO_INSTALLER_STANDIN");
    std::string program;
    ASSERT_TRUE(ReadWholeFile(WinPathFromEnv(L"VEXO_INSTALLER_STANDIN"), &program));

    // The service pack, and two proxy scripts on the version server.
    const std::string downloadHost = Utf8(kDownloadHost), statsHost = Utf8(kStatsHost);
    const std::string proxy = downloadHost + ":" + proxyPort;
    const std::string routes = "/others/dotnet/sp2.exe file " + standIn +
                               "\n/proxy.pac text function FindProxyForURL(url, host) { return \"PROXY " + proxy +
                               "\"; }\n/direct.pac text function FindProxyForURL(url, host) { return \"DIRECT\"; }\n";
    UniqueFile routesFile(::CreateFileW((serverDir + L"\\routes").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(routesFile);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(routesFile.get(), routes.data(), static_cast<DWORD>(routes.size()), &written, nullptr));
    routesFile.reset();

    // "@proxy" stands for the recording proxy, "@dead" for a refused port, "@host" for the download
    // host and "@scripts/" for the version server.
    const struct {
        const char* name;
        Value value;
        DWORD flags;
        const char* proxy;
        const char* bypass;
        const char* script;
        bool throughProxy;
        DownloadResult result;
    } cases[] = {
        {"no settings", Value::Missing, 0, "", "", "", false, DownloadResult::Ok},
        {"unreadable settings", Value::CutShort, kFixed, "@proxy", "", "", false, DownloadResult::Ok},
        {"direct, a proxy noted but off", Value::Written, kDirect, "@proxy", "", "", false, DownloadResult::Ok},
        {"fixed proxy", Value::Written, kFixed, "@proxy", "", "", true, DownloadResult::Ok},
        {"per-scheme list", Value::Written, kFixed, "https=@dead;http=@proxy", "", "", true, DownloadResult::Ok},
        {"per-scheme list without http", Value::Written, kFixed, "https=@proxy;ftp=@proxy", "", "", false,
         DownloadResult::Ok},
        {"download host bypassed", Value::Written, kFixed, "@proxy", "<local>;*.example.com @host", "", false,
         DownloadResult::Ok},
        {"everything bypassed", Value::Written, kFixed, "@proxy", "*", "", false, DownloadResult::Ok},
        {"other hosts bypassed", Value::Written, kFixed, "@proxy", "<local>;*.example.com;127.0.0.4", "", true,
         DownloadResult::Ok},
        {"proxy refuses", Value::Written, kFixed, "@dead", "", "", false, DownloadResult::TransferFailed},
        {"script names the proxy", Value::Written, kScript, "", "", "@scripts/proxy.pac", true, DownloadResult::Ok},
        {"script says direct, fixed proxy", Value::Written, kScript | kFixed, "@proxy", "", "@scripts/direct.pac",
         false, DownloadResult::Ok},
        {"unreachable script, fixed proxy", Value::Written, kScript | kFixed, "@proxy", "", "http://@dead/proxy.pac",
         true, DownloadResult::Ok},
        {"nothing detected, fixed proxy", Value::Written, kDetect | kFixed, "@proxy", "", "", true, DownloadResult::Ok},
        // Neither way answers: the fixed proxy still serves (the reports ask this look-up too).
        {"nothing detected, unreachable script, fixed proxy", Value::Written, kDetect | kScript | kFixed, "@proxy", "",
         "http://@dead/proxy.pac", true, DownloadResult::Ok},
    };
    ConnectionSettings settings;
    ASSERT_TRUE(settings.ready());
    const std::wstring scratch = FreshScratch(L"DownloadsFollowTheUsersSettings");
    const std::wstring path = scratch + L"\\sp2.exe";
    ASSERT_NE(InitLogAt(scratch + L"\\tmp.log"), nullptr);
    const std::string viaProxy = "GET " + Utf8(Sp2Url()) + "\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string fields[] = {c.proxy, c.bypass, c.script};
        for (auto& field : fields) {
            ReplaceAll(&field, "@proxy", proxy);
            ReplaceAll(&field, "@dead", statsHost + ":" + refusedPort);
            ReplaceAll(&field, "@host", downloadHost);
            ReplaceAll(&field, "@scripts/", "http://" + statsHost + ":10080/");
        }
        const std::string blob = SettingsBlob(c.flags, fields[0], fields[1], fields[2]);
        ASSERT_TRUE(c.value == Value::Missing    ? settings.Remove()
                    : c.value == Value::CutShort ? settings.Set(blob.substr(0, 20))
                                                 : settings.Set(blob));

        const std::string before = ReadAll(proxyDir + L"\\requests");
        EXPECT_EQ(DownloadToFile(Sp2Url(), path), c.result);
        EXPECT_EQ(ReadAll(path), c.result == DownloadResult::Ok ? program : "<missing>");
        EXPECT_EQ(ReadAll(proxyDir + L"\\requests").substr(before.size()), c.throughProxy ? viaProxy : "");
        ::DeleteFileW(path.c_str());
    }
    // Detection failed at two downloads at least, and said so once.
    const std::string log = ReadAll(scratch + L"\\tmp.log");
    const std::string notUsed = "proxy script (detected) not used";
    const size_t first = log.find(notUsed);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(notUsed, first + 1), std::string::npos) << log;
}

}  // namespace
