#pragma once

#include <windows.h>
#include <winhttp.h>

#include <functional>
#include <string>
#include <vector>

#include "base/Owners.h"

// One synchronous HTTP or HTTPS exchange over WinHTTP, with up to three attempts and the user's
// proxy settings found when a send fails (the downloads' look-up, ProxyForUrl). Configure the
// public fields, call Execute, read the results from the same fields. One thread at a time.
class WinHttpClient {
public:
    explicit WinHttpClient(std::wstring url);
    ~WinHttpClient();
    WinHttpClient(const WinHttpClient&) = delete;
    WinHttpClient& operator=(const WinHttpClient&) = delete;

    // verb: "GET" or "POST" in any case. True when a response was received and read whole.
    bool Execute(std::wstring verb);
    // The bytes written after the request headers; copies exactly length bytes.
    void SetRequestBody(const void* data, DWORD length);
    // The response body as received; one zero byte always follows the data.
    const BYTE* RawBody() const;
    DWORD RawBodyLength() const;

    std::wstring requestUrl, requestHost, responseHeaders, responseBody, responseCharset, responseCookies,
        requestCookies, requestHeaders, proxyServer, statusCode, userAgent = L"WinHttpClient", proxyUser,
        proxyPassword, redirectLocation;
    bool verifyCertificates = false, charsetFixed = false;
    std::function<void(double)> progressCallback;  // percent of contentLength received
    DWORD contentLength = 0, lastError = 0;
    int resolveTimeout = 0, connectTimeout = 60000, sendTimeout = 30000, receiveTimeout = 30000;

private:
    bool SendOnce(HINTERNET request);
    void UseFixedProxy(HINTERNET request);
    void UseDiscoveredProxy(HINTERNET request, bool* sent);
    bool QueryHeader(HINTERNET request, DWORD what, std::wstring* text);
    void ReadHeaders(HINTERNET request);
    bool ReadBody(HINTERNET request, bool* outOfMemory);
    void ConvertBody();
    void Report(DWORD received) const;

    UniqueInternet session_;
    std::vector<BYTE> rawBody_;      // capacity-sized, zero-filled past the data
    DWORD rawBodyLength_ = 0;
    std::vector<BYTE> requestBody_;  // exactly the bytes to send
};

// Group 0 of every match of pattern (compiled case-insensitively) in text, each search starting
// where the previous match ended; repeats (case ignored) are left out.
std::vector<std::wstring> CollectMatches(const std::wstring& text, const std::wstring& pattern);
// text without the characters of chars at either end.
std::wstring TrimChars(const std::wstring& text, const std::wstring& chars);
