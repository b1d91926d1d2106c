#include "prereq/DownloadProxy.h"

#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/SystemApi.h"
#include "base/Text.h"

namespace {

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                            static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::vector<std::wstring> Split(const std::wstring& list, const wchar_t* separators) {
    std::vector<std::wstring> entries;
    size_t from = list.find_first_not_of(separators);
    while (from != std::wstring::npos) {
        const size_t end = list.find_first_of(separators, from);
        entries.push_back(list.substr(from, end == std::wstring::npos ? std::wstring::npos : end - from));
        from = list.find_first_not_of(separators, end);
    }
    return entries;
}

// WinHTTP separates proxies by ";" or blanks.
std::wstring ChooseProxy(const std::wstring& proxyList, const std::wstring& url) {
    const size_t schemeEnd = url.find(L"://");
    // libcurl takes a URL without a scheme as http.
    const std::wstring scheme = schemeEnd == std::wstring::npos ? L"http" : url.substr(0, schemeEnd);
    std::wstring plain;
    for (const auto& entry : Split(proxyList, L"; \t\r\n")) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (plain.empty()) plain = entry;
        } else if (EqualNoCase(entry.substr(0, equals), scheme) && equals + 1 < entry.size()) {
            return entry.substr(equals + 1);
        }
    }
    return plain;
}

// IE separates bypass entries by ";" or blanks, libcurl by commas.
std::wstring ConvertBypassList(const std::wstring& bypassList) {
    std::wstring converted;
    for (auto entry : Split(bypassList, L"; \t\r\n,")) {
        // libcurl knows "*" only as the whole list.
        if (entry == L"*") return entry;
        // "<local>" (host names without a dot) and other "<...>" tokens, and wildcards anywhere
        // but a leading "*.", have no form in libcurl's list: those hosts go through the proxy.
        if (entry[0] == L'<') continue;
        if (entry.compare(0, 2, L"*.") == 0) entry.erase(0, 1);
        if (entry.find(L'*') != std::wstring::npos) continue;
        if (!converted.empty()) converted += L',';
        converted += entry;
    }
    return converted;
}

// Without a proxy script on the network, detection fails at every download of a run: said once.
LONG g_detectionFailureLogged = 0;

// Asks the proxy script one way finds (auto-detection or the configured address) about url.
// False when there is no script to ask or it does not answer.
bool AskProxyScript(HINTERNET session, const std::wstring& url, const wchar_t* configUrl, CLog* log,
                    UrlProxy* result) {
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (configUrl != nullptr) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = configUrl;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpGetProxyForUrl)(session, url.c_str(), &options, &info)) {
        const DWORD error = ::GetLastError();
        if (configUrl != nullptr) {
            LogFormat(log, 3, "proxy script (configured) not used: error %lu", error);
        } else if (log != nullptr && ::InterlockedExchange(&g_detectionFailureLogged, 1) == 0) {
            LogFormat(log, 3, "proxy script (detected) not used: error %lu", error);
        }
        return false;
    }
    const UniqueGlobalText proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
    *result = UrlProxy();
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy != nullptr) {
        result->proxy = info.lpszProxy;
        if (info.lpszProxyBypass != nullptr) result->bypass = info.lpszProxyBypass;
    }
    return true;
}

}  // namespace

DownloadProxy ProxyFromLists(const std::wstring& proxyList, const std::wstring& bypassList, const std::wstring& url) {
    DownloadProxy result;
    const std::wstring proxy = ChooseProxy(proxyList, url);
    if (proxy.empty()) return result;
    result.proxy = ToUserAnsi(proxy);
    result.noProxy = ToUserAnsi(ConvertBypassList(bypassList));
    return result;
}

UrlProxy ProxyForUrl(const std::wstring& url, CLog* log) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!VEXO_SYSTEM_CALL(WinHttp, WinHttpGetIEProxyConfigForCurrentUser)(&config)) {
        LogFormat(log, 3, "proxy settings not read: error %lu", ::GetLastError());
        return {};
    }
    const UniqueGlobalText configUrl(config.lpszAutoConfigUrl), proxy(config.lpszProxy), bypass(config.lpszProxyBypass);

    UrlProxy result;
    bool answered = false;
    if (config.fAutoDetect || config.lpszAutoConfigUrl != nullptr) {
        UniqueInternet session(VEXO_SYSTEM_CALL(WinHttp, WinHttpOpen)(
            kProductFolderName, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) {
            LogFormat(log, 3, "proxy script not asked: error %lu", ::GetLastError());
        } else {
            // One way a call, in the order Windows tries them when both are set: Wine refuses the
            // two flags together.
            if (config.fAutoDetect) answered = AskProxyScript(session.get(), url, nullptr, log, &result);
            if (!answered && config.lpszAutoConfigUrl != nullptr)
                answered = AskProxyScript(session.get(), url, config.lpszAutoConfigUrl, log, &result);
        }
    }
    // As Windows does, the fixed proxy serves where no script answers.
    if (!answered && config.lpszProxy != nullptr) {
        result.proxy = config.lpszProxy;
        if (config.lpszProxyBypass != nullptr) result.bypass = config.lpszProxyBypass;
    }
    return result;
}

DownloadProxy ProxyForDownload(const std::wstring& url) {
    const UrlProxy found = ProxyForUrl(url, g_log);
    const DownloadProxy result = ProxyFromLists(found.proxy, found.bypass, url);
    if (!result.proxy.empty())
        LogFormat(g_log, 3, "download proxy %s%s%s", result.proxy.c_str(), result.noProxy.empty() ? "" : ", not for ",
                  result.noProxy.c_str());
    return result;
}
