#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "stats/WinHttpClient.h"

// The scripted server's behaviours are listed in http_test_server.py.
namespace {

struct Ports {
    int http = 0, https = 0, refused = 0;
};

const Ports& Server() {
    static const Ports ports = [] {
        Ports p;
        std::string text;
        if (ReadWholeFile(WinPathFromEnv(L"VEXO_HTTP_PORTS"), &text))
            std::sscanf(text.c_str(), "%d %d %d", &p.http, &p.https, &p.refused);
        return p;
    }();
    return ports;
}

std::wstring Url(const std::wstring& path, int port = Server().http, const wchar_t* scheme = L"http") {
    return std::wstring(scheme) + L"://127.0.0.1:" + std::to_wstring(port) + path;
}

// Keys of the server's request counters, fresh for each run of this program.
std::wstring Key(const wchar_t* name) { return name + std::to_wstring(::GetCurrentProcessId()); }

std::wstring Hex(const std::string& bytes) {
    std::wstring hex;
    for (unsigned char c : bytes) {
        wchar_t pair[3];
        std::swprintf(pair, 3, L"%02x", c);
        hex += pair;
    }
    return hex;
}

std::string Raw(const WinHttpClient& client) {
    return std::string(reinterpret_cast<const char*>(client.RawBody()), client.RawBodyLength());
}

int RequestsCounted(const std::wstring& key) {
    WinHttpClient client(Url(L"/count?key=" + key));
    return client.Execute(L"GET") ? std::stoi(client.responseBody) : -1;
}

std::wstring Widen(const std::string& bytes, UINT codePage) {
    std::wstring text(bytes.size(), L'\0');
    text.resize(::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                      static_cast<int>(text.size())));
    return text;
}

class WinHttpClientTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(Server().http, 0) << "no test server: VEXO_HTTP_PORTS"; }
};

}  // namespace

TEST(CollectMatches, CollectsDistinctCapturesAndAlwaysEnds) {
    const std::wstring headers = L"HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nset-cookie:\tB=2\r\nSet-Cookie:  A=1\r\n"
                                 L"Content-Length: 12\r\nContent-Length: 99\r\n\r\n";
    EXPECT_EQ(CollectMatches(headers, L"Set-Cookie:\\b*{.+?}\\n"), (std::vector<std::wstring>{L"a=1", L"B=2"}));
    EXPECT_EQ(CollectMatches(headers, L"content-length: {[0-9]+}"), (std::vector<std::wstring>{L"12", L"99"}));
    // A match of no text would be found again at the same place: the search stops there.
    EXPECT_EQ(CollectMatches(L"xxbb", L"{b*}"), std::vector<std::wstring>{L""});
    EXPECT_EQ(CollectMatches(L"xbbx", L"{!x}"), std::vector<std::wstring>{L""});
    EXPECT_TRUE(CollectMatches(headers, L"{a").empty());  // does not compile
    EXPECT_TRUE(CollectMatches(L"", L"{a}").empty());
    EXPECT_TRUE(CollectMatches(headers, L"").empty());
    EXPECT_TRUE(CollectMatches(headers, L"Location: {[0-9]+}").empty());
}

TEST(TrimChars, TrimsBothEndsOnly) {
    EXPECT_EQ(TrimChars(L" \t a b \t ", L" \t"), L"a b");
    EXPECT_EQ(TrimChars(L";;a;", L";"), L"a");
    EXPECT_EQ(TrimChars(L"   ", L" "), L"");
    EXPECT_EQ(TrimChars(L"", L" "), L"");
    EXPECT_EQ(TrimChars(L" a ", L""), L" a ");
}

TEST_F(WinHttpClientTest, RefusesAnEmptyUrlAndOtherVerbs) {
    WinHttpClient noUrl(L"");
    EXPECT_FALSE(noUrl.Execute(L"GET"));
    EXPECT_EQ(noUrl.lastError, 3u);
    WinHttpClient put(Url(L"/echo"));
    EXPECT_FALSE(put.Execute(L"PUT"));
    EXPECT_EQ(put.lastError, 87u);
    EXPECT_TRUE(put.responseHeaders.empty());
}

TEST_F(WinHttpClientTest, PostCarriesHeadersCookiesAndBodyByteForByte) {
    std::string body;
    for (int i = 0; i < 256; ++i) body += static_cast<char>(i);
    body += "\r\n\r\nend";
    const std::string sent = body;
    WinHttpClient client(Url(L"/echo?x=1&y=%20"));
    client.userAgent = L"VexoTest/1.0";
    client.requestHeaders = L"X-Vexo-One: 1\r\nX-Vexo-Two: two words\r\n";
    client.requestCookies = L"k=v; w=z";
    client.SetRequestBody(body.data(), static_cast<DWORD>(body.size()));
    body += "overwritten after the copy";
    ASSERT_TRUE(client.Execute(L"post")) << client.lastError;
    EXPECT_EQ(client.statusCode, L"200");
    EXPECT_EQ(client.requestHost, L"127.0.0.1");

    const std::string echo = Raw(client);
    EXPECT_EQ(echo.rfind("POST /echo?x=1&y=%20 HTTP/1.1\r\n", 0), 0u) << echo;
    for (const char* line : {"\r\nX-Vexo-One: 1\r\nX-Vexo-Two: two words\r\n", "\r\nCookie: k=v; w=z\r\n",
                             "\r\nUser-Agent: VexoTest/1.0\r\n", "\r\nContent-Length: 263\r\n"})
        EXPECT_NE(echo.find(line), std::string::npos) << line << " missing from\n" << echo;
    const auto headersEnd = echo.find("\r\n\r\n");
    ASSERT_NE(headersEnd, std::string::npos);
    EXPECT_EQ(echo.substr(headersEnd + 4), sent);
    EXPECT_EQ(client.RawBody()[client.RawBodyLength()], 0);

    // The same object again: its session is reused, and a GET sends no body.
    client.requestUrl = Url(L"/echo");
    client.SetRequestBody(nullptr, 0);
    ASSERT_TRUE(client.Execute(L"Get")) << client.lastError;
    EXPECT_EQ(Raw(client).rfind("GET /echo HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(Raw(client).find("Content-Length"), std::string::npos) << Raw(client);
}

TEST_F(WinHttpClientTest, FixedProxyReceivesTheWholeUrl) {
    // Wine's WinHTTP accepts a proxy set on a request handle and then ignores it.
    if (::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine ignores WINHTTP_OPTION_PROXY on a request";
    WinHttpClient client(L"http://vexo-proxied.invalid/echo?through=proxy");
    client.proxyServer = L"127.0.0.1:" + std::to_wstring(Server().http);
    client.proxyUser = L"user";
    client.proxyPassword = L"secret";
    ASSERT_TRUE(client.Execute(L"GET")) << client.lastError;
    EXPECT_EQ(Raw(client).rfind("GET http://vexo-proxied.invalid/echo?through=proxy HTTP/1.1\r\n", 0), 0u)
        << Raw(client);
    EXPECT_EQ(client.requestHost, L"vexo-proxied.invalid");
}

TEST_F(WinHttpClientTest, CharsetChoosesTheConversion) {
    const std::string product = "Vexo\xe6\xa8\xa1\xe6\x8b\x9f\xe5\x99\xa8";  // UTF-8
    const std::wstring asUtf8 = L"Vexo\u6a21\u62df\u5668", asAnsi = Widen(product, CP_ACP);
    const struct {
        const wchar_t* charset;  // nullptr: none named
        std::string bytes;
        std::wstring text;       // empty: only checked loosely below
    } cases[] = {
        {L"UTF-8", product, asUtf8},
        {L"utf-8", product, asUtf8},
        {L"Utf-8", product, asUtf8},
        {L"gbk", product, asAnsi},
        {nullptr, product, asAnsi},
        {L"utf-8", std::string("abc\0def", 7), std::wstring(L"abc\0def", 7)},  // a zero cuts nothing short
        {L"utf-8", "ab\xff\xfe" "cd\xe6\xa8", L""},                           // invalid sequences
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.charset ? c.charset : L"no charset") << ", " << c.bytes.size()
                                        << " bytes");
        WinHttpClient client(Url(L"/body?hex=" + Hex(c.bytes) + (c.charset ? L"&charset=" : L"") +
                                 (c.charset ? c.charset : L"")));
        ASSERT_TRUE(client.Execute(L"GET")) << client.lastError;
        EXPECT_EQ(Raw(client), c.bytes);
        EXPECT_EQ(client.responseCharset, c.charset ? c.charset : L"");
        if (!c.text.empty()) {
            EXPECT_EQ(client.responseBody, c.text);
        } else {
            // They cost only themselves: the text around them survives.
            EXPECT_EQ(client.responseBody.substr(0, 2), L"ab");
            EXPECT_NE(client.responseBody.find(L"cd"), std::wstring::npos) << client.responseBody.size();
        }
    }
    EXPECT_TRUE(::GetACP() == CP_UTF8 || asAnsi != asUtf8) << "the ANSI cases would prove nothing";
}

TEST_F(WinHttpClientTest, LargeBodiesAreReadWhole) {
    const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (const unsigned n : {10240u, 10241u, 5 * 10240u + 3}) {
        for (const bool withLength : {true, false}) {
            SCOPED_TRACE(testing::Message() << n << (withLength ? " bytes" : " bytes, no Content-Length"));
            std::string expected;
            while (expected.size() < n) expected += letters;
            expected.resize(n);
            WinHttpClient client(Url(L"/size?n=" + std::to_wstring(n) + (withLength ? L"" : L"&nolength=1")));
            std::vector<double> progress;
            client.progressCallback = [&progress](double percent) { progress.push_back(percent); };
            ASSERT_TRUE(client.Execute(L"GET")) << client.lastError;
            EXPECT_EQ(client.RawBodyLength(), n);
            EXPECT_TRUE(Raw(client) == expected);
            EXPECT_EQ(client.RawBody()[n], 0);
            EXPECT_TRUE(client.responseBody == Widen(expected, CP_ACP));
            EXPECT_EQ(client.contentLength, withLength ? n : 0u);
            if (withLength) {
                ASSERT_GE(progress.size(), 2u);
                EXPECT_EQ(progress.front(), 0.0);
                EXPECT_EQ(progress.back(), 100.0);
                for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1], progress[i]);
            } else {
                EXPECT_TRUE(progress.empty());  // nothing to measure against
            }
        }
    }
}

TEST_F(WinHttpClientTest, CookiesAndLocationFromTheHeaders) {
    WinHttpClient two(Url(L"/cookies"));
    ASSERT_TRUE(two.Execute(L"GET")) << two.lastError;
    EXPECT_EQ(two.responseCookies, L"a=1; path=/; b=2;");
    WinHttpClient same(Url(L"/cookies?same=1"));
    ASSERT_TRUE(same.Execute(L"GET")) << same.lastError;
    EXPECT_EQ(same.responseCookies, L"a=1;");

    WinHttpClient number(Url(L"/location?to=302"));
    ASSERT_TRUE(number.Execute(L"GET")) << number.lastError;
    EXPECT_EQ(number.redirectLocation, L"302");
    EXPECT_NE(number.responseHeaders.find(L"\r\nLocation: 302\r\n"), std::wstring::npos) << number.responseHeaders;
    WinHttpClient url(Url(L"/location?to=http://127.0.0.1:1/x"));
    ASSERT_TRUE(url.Execute(L"GET")) << url.lastError;
    EXPECT_EQ(url.redirectLocation, L"");
}

TEST_F(WinHttpClientTest, FailuresUseUpThreeAttempts) {
    // A refused connection: three quick failures, not three waits for a time-out.
    WinHttpClient refused(Url(L"/", Server().refused));
    const DWORD started = ::GetTickCount();
    EXPECT_FALSE(refused.Execute(L"GET"));
    EXPECT_NE(refused.lastError, 0u);
    EXPECT_LT(::GetTickCount() - started, 30000u);

    // The connection closed without an answer: each attempt reaches the server.
    const std::wstring dropped = Key(L"drop");
    WinHttpClient drop(Url(L"/drop?key=" + dropped));
    EXPECT_FALSE(drop.Execute(L"POST"));
    EXPECT_NE(drop.lastError, 0u);
    EXPECT_EQ(RequestsCounted(dropped), 3);

    // A body that ends before its Content-Length is no complete response.
    WinHttpClient cut(Url(L"/short"));
    EXPECT_FALSE(cut.Execute(L"GET"));
    EXPECT_NE(cut.lastError, 0u);
}

TEST_F(WinHttpClientTest, UnclosedHtmlIsFetchedAgainOnlyByGet) {
    const std::wstring get = Key(L"html-get"), post = Key(L"html-post");
    WinHttpClient page(Url(L"/html-open?key=" + get));
    EXPECT_FALSE(page.Execute(L"GET"));
    EXPECT_EQ(page.lastError, 13u);
    EXPECT_EQ(RequestsCounted(get), 3);
    EXPECT_NE(page.responseBody.find(L"<html>"), std::wstring::npos);

    WinHttpClient posted(Url(L"/html-open?key=" + post));
    EXPECT_TRUE(posted.Execute(L"POST")) << posted.lastError;
    EXPECT_EQ(RequestsCounted(post), 1);
}

TEST_F(WinHttpClientTest, HttpsWithASelfSignedCertificate) {
    WinHttpClient client(Url(L"/size?n=100", Server().https, L"https"));
    ASSERT_TRUE(client.Execute(L"GET")) << client.lastError;
    EXPECT_EQ(client.statusCode, L"200");
    EXPECT_EQ(Raw(client).substr(0, 10), "abcdefghij");

    WinHttpClient verified(Url(L"/size?n=100", Server().https, L"https"));
    verified.verifyCertificates = true;
    EXPECT_FALSE(verified.Execute(L"GET"));
    EXPECT_NE(verified.lastError, 0u);
}
