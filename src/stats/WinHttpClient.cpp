#include "stats/WinHttpClient.h"

#include <cstdint>
#include <cwchar>
#include <new>
#include <utility>

#include "base/PatternMatcher.h"
#include "base/Text.h"
#include "prereq/DownloadProxy.h"

namespace {

constexpr int kAttempts = 3;
constexpr DWORD kFirstBodyBuffer = 10240;
// Far above any response this program reads; keeps the doubling below overflow.
constexpr std::uint64_t kMaxBodyBuffer = 0x40000000;

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                            static_cast<int>(b.size())) == CSTR_EQUAL;
}

const BYTE kNoBody[1] = {0};

}  // namespace

std::vector<std::wstring> CollectMatches(const std::wstring& text, const std::wstring& pattern) {
    std::vector<std::wstring> found;
    if (text.empty() || pattern.empty()) return found;
    PatternMatcher matcher;
    if (matcher.Parse(pattern.c_str(), false) != PatternOk) return found;

    MatchContext context;
    const wchar_t* from = text.c_str();
    const wchar_t* end = nullptr;
    while (matcher.Match(from, &context, &end)) {
        if (context.GroupCount() < 1) break;
        std::wstring capture = context.GroupText(0);
        bool seen = false;
        for (const auto& earlier : found) seen = seen || EqualNoCase(earlier, capture);
        if (!seen) found.push_back(std::move(capture));
        // An empty match would be found again at the same place forever.
        if (context.MatchStart() == end || *end == L'\0') break;
        from = end;
    }
    return found;
}

std::wstring TrimChars(const std::wstring& text, const std::wstring& chars) {
    const auto first = text.find_first_not_of(chars);
    if (first == std::wstring::npos) return std::wstring();
    const auto last = text.find_last_not_of(chars);
    return text.substr(first, last - first + 1);
}

WinHttpClient::WinHttpClient(std::wstring url) : requestUrl(std::move(url)) {}

WinHttpClient::~WinHttpClient() = default;

void WinHttpClient::SetRequestBody(const void* data, DWORD length) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    requestBody_.assign(bytes, bytes + (bytes ? length : 0));
}

const BYTE* WinHttpClient::RawBody() const { return rawBody_.empty() ? kNoBody : rawBody_.data(); }

DWORD WinHttpClient::RawBodyLength() const { return rawBodyLength_; }

bool WinHttpClient::Execute(std::wstring verb) {
    if (requestUrl.empty()) {
        lastError = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (EqualNoCase(verb, L"GET")) {
        verb = L"GET";
    } else if (EqualNoCase(verb, L"POST")) {
        verb = L"POST";
    } else {
        lastError = ERROR_INVALID_PARAMETER;
        return false;
    }

    bool result = true;
    if (!session_) {
        session_.reset(VEXO_SYSTEM_CALL(WinHttp, WinHttpOpen)(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session_) {
            lastError = ::GetLastError();
            return false;
        }
    }
    VEXO_SYSTEM_CALL(WinHttp, WinHttpSetTimeouts)(session_.get(), resolveTimeout, connectTimeout, sendTimeout, receiveTimeout);

    // Lengths without buffers: the parts are returned as pointers into the URL.
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpCrackUrl)(requestUrl.c_str(), static_cast<DWORD>(requestUrl.size()), 0, &parts)) {
        lastError = ::GetLastError();
        return false;
    }
    auto part = [](const wchar_t* start, DWORD length) { return start ? std::wstring(start, length) : std::wstring(); };
    requestHost = part(parts.lpszHostName, parts.dwHostNameLength);
    // The query goes with the path; a fragment is never sent.
    std::wstring path = part(parts.lpszUrlPath, parts.dwUrlPathLength);
    const std::wstring extra = part(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    path += extra.substr(0, extra.find(L'#'));
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    UniqueInternet connection(VEXO_SYSTEM_CALL(WinHttp, WinHttpConnect)(session_.get(), requestHost.c_str(), parts.nPort, 0));
    if (!connection) {
        lastError = ::GetLastError();
        return false;
    }
    UniqueInternet request(VEXO_SYSTEM_CALL(WinHttp, WinHttpOpenRequest)(connection.get(), verb.c_str(), path.c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        lastError = ::GetLastError();
        return false;
    }
    if (secure && !verifyCertificates) {
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                      SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
        if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpSetOption)(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags))
            lastError = ::GetLastError();
    }
    // Once: every attempt re-sends this same request.
    if (!requestHeaders.empty() &&
        !VEXO_SYSTEM_CALL(WinHttp, WinHttpAddRequestHeaders)(request.get(), requestHeaders.c_str(), static_cast<DWORD>(requestHeaders.size()),
                                    WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))
        lastError = ::GetLastError();
    if (!requestCookies.empty()) {
        const std::wstring cookie = L"Cookie: " + requestCookies;
        if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpAddRequestHeaders)(request.get(), cookie.c_str(), static_cast<DWORD>(cookie.size()),
                                        WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))
            lastError = ::GetLastError();
    }

    bool succeeded = false;
    for (int attempt = 0; attempt < kAttempts && !succeeded; ++attempt) {
        if (!proxyServer.empty()) UseFixedProxy(request.get());
        bool sent = SendOnce(request.get());
        if (!sent) {
            lastError = ::GetLastError();
            UseDiscoveredProxy(request.get(), &sent);
            if (!sent) continue;
        }
        if (!requestBody_.empty()) {
            DWORD written = 0;
            if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpWriteData)(request.get(), requestBody_.data(), static_cast<DWORD>(requestBody_.size()),
                                    &written)) {
                // The server would answer a request without its body: not a success.
                lastError = ::GetLastError();
                continue;
            }
        }
        if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpReceiveResponse)(request.get(), nullptr)) {
            lastError = ::GetLastError();
            continue;
        }
        ReadHeaders(request.get());
        bool outOfMemory = false;
        if (!ReadBody(request.get(), &outOfMemory)) result = false;
        if (outOfMemory) break;
        ConvertBody();
        succeeded = true;
        // A page cut short in transit is fetched again; a POST is never repeated for it.
        if (verb == L"GET" && !CollectMatches(responseBody, L"{<html>}").empty() &&
            CollectMatches(responseBody, L"{</html>}").empty()) {
            lastError = ERROR_INVALID_DATA;
            succeeded = false;
        }
    }
    return result && succeeded;
}

bool WinHttpClient::SendOnce(HINTERNET request) {
    // The body's length goes into the request headers; the body itself follows with WinHttpWriteData.
    return VEXO_SYSTEM_CALL(WinHttp, WinHttpSendRequest)(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                static_cast<DWORD>(requestBody_.size()), 0) != FALSE;
}

void WinHttpClient::UseFixedProxy(HINTERNET request) {
    WINHTTP_PROXY_INFO proxy = {};
    proxy.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    proxy.lpszProxy = &proxyServer[0];
    proxy.lpszProxyBypass = WINHTTP_NO_PROXY_BYPASS;
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpSetOption)(request, WINHTTP_OPTION_PROXY, &proxy, sizeof proxy)) lastError = ::GetLastError();
    if (proxyUser.empty()) return;
    // String options take their length in characters.
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpSetOption)(request, WINHTTP_OPTION_PROXY_USERNAME, &proxyUser[0],
                            static_cast<DWORD>(proxyUser.size())))
        lastError = ::GetLastError();
    if (!proxyPassword.empty() && !VEXO_SYSTEM_CALL(WinHttp, WinHttpSetOption)(request, WINHTTP_OPTION_PROXY_PASSWORD, &proxyPassword[0],
                                                      static_cast<DWORD>(proxyPassword.size())))
        lastError = ::GetLastError();
}

void WinHttpClient::UseDiscoveredProxy(HINTERNET request, bool* sent) {
    // The downloads' look-up: a proxy script, else the fixed proxy. Without one the next attempt
    // goes straight to the server again. A report's trouble is logged nowhere.
    UrlProxy found = ProxyForUrl(requestUrl, nullptr);
    if (found.proxy.empty()) return;
    WINHTTP_PROXY_INFO proxy = {};
    proxy.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    proxy.lpszProxy = &found.proxy[0];
    proxy.lpszProxyBypass = found.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : &found.bypass[0];
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpSetOption)(request, WINHTTP_OPTION_PROXY, &proxy, sizeof proxy)) {
        lastError = ::GetLastError();
        return;
    }
    *sent = SendOnce(request);
    if (!*sent) lastError = ::GetLastError();
}

bool WinHttpClient::QueryHeader(HINTERNET request, DWORD what, std::wstring* text) {
    DWORD size = 0;
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpQueryHeaders)(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                               WINHTTP_NO_HEADER_INDEX) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        lastError = ::GetLastError();
        return false;
    }
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpQueryHeaders)(request, what, WINHTTP_HEADER_NAME_BY_INDEX, &buffer[0], &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        lastError = ::GetLastError();
        return false;
    }
    buffer.resize(size / sizeof(wchar_t));
    *text = std::move(buffer);
    return true;
}

void WinHttpClient::ReadHeaders(HINTERNET request) {
    if (QueryHeader(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, &responseHeaders)) {
        if (!charsetFixed) {
            const auto charset = CollectMatches(responseHeaders, L"charset={[A-Za-z0-9\\-_]+}");
            if (!charset.empty()) responseCharset = charset.front();
        }
        const auto length = CollectMatches(responseHeaders, L"Content-Length: {[0-9]+}");
        if (!length.empty()) contentLength = std::wcstoul(length.front().c_str(), nullptr, 10);
        const auto location = CollectMatches(responseHeaders, L"Location: {[0-9]+}");
        if (!location.empty()) redirectLocation = location.front();
        const auto cookies = CollectMatches(responseHeaders, L"Set-Cookie:\\b*{.+?}\\n");
        for (const auto& cookie : cookies) {
            if (!responseCookies.empty()) responseCookies += responseCookies.back() == L';' ? L" " : L"; ";
            responseCookies += cookie;
        }
        responseCookies = TrimChars(responseCookies, L" ");
        if (!responseCookies.empty() && responseCookies.back() != L';') responseCookies += L';';
    }
    QueryHeader(request, WINHTTP_QUERY_STATUS_CODE, &statusCode);
}

bool WinHttpClient::ReadBody(HINTERNET request, bool* outOfMemory) {
    try {
        rawBody_.assign(kFirstBodyBuffer, 0);
    } catch (const std::bad_alloc&) {
        *outOfMemory = true;
        return false;
    }
    rawBodyLength_ = 0;
    bool ok = true;
    for (;;) {
        DWORD available = 0;
        if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpQueryDataAvailable)(request, &available)) {
            lastError = ::GetLastError();
            ok = false;
            break;
        }
        Report(rawBodyLength_);
        if (available == 0) break;
        // The data and one zero byte after it must fit.
        const std::uint64_t needed = std::uint64_t{rawBodyLength_} + available + 1;
        if (needed > rawBody_.size()) {
            std::uint64_t size = rawBody_.size();
            while (size < needed) size *= 2;
            if (size > kMaxBodyBuffer) {
                lastError = ERROR_NOT_ENOUGH_MEMORY;
                ok = false;
                break;
            }
            try {
                rawBody_.resize(static_cast<std::size_t>(size), 0);
            } catch (const std::bad_alloc&) {
                lastError = ERROR_NOT_ENOUGH_MEMORY;
                ok = false;
                break;
            }
        }
        DWORD read = 0;
        if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpReadData)(request, rawBody_.data() + rawBodyLength_, available, &read)) {
            // A lost chunk leaves a body that is not the one sent.
            lastError = ::GetLastError();
            ok = false;
            break;
        }
        rawBodyLength_ += read;
    }
    Report(rawBodyLength_);
    // A connection closed early ends the data as if the body were whole.
    DWORD promised = 0, size = sizeof promised;
    if (ok && VEXO_SYSTEM_CALL(WinHttp, WinHttpQueryHeaders)(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &promised, &size, WINHTTP_NO_HEADER_INDEX) &&
        rawBodyLength_ < promised) {
        lastError = ERROR_HANDLE_EOF;
        ok = false;
    }
    return ok;
}

void WinHttpClient::ConvertBody() {
    if (rawBodyLength_ == 0) {
        responseBody.clear();
        return;
    }
    UINT codePage = CP_ACP;
    DWORD flags = MB_PRECOMPOSED;
    if (responseCharset.size() >= 5 && EqualNoCase(responseCharset.substr(0, 5), L"utf-8")) {
        codePage = CP_UTF8;
        flags = 0;
    }
    const char* bytes = reinterpret_cast<const char*>(rawBody_.data());
    // Every character is kept, zeros included: the text is the whole body.
    std::wstring text = ToWide(bytes, rawBodyLength_, codePage, flags);
    if (text.empty() && codePage != CP_ACP) text = ToWide(bytes, rawBodyLength_, CP_ACP, MB_PRECOMPOSED);
    if (text.empty()) return;
    responseBody = std::move(text);
}

void WinHttpClient::Report(DWORD received) const {
    if (progressCallback && contentLength != 0) progressCallback(received * 100.0 / contentLength);
}
