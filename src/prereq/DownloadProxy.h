#pragma once
// The user's proxy for a .NET download, in libcurl's terms. libcurl reads no Windows settings of
// its own: without this, behind a proxy the reports (WinHTTP) arrive and the downloads fail.

#include <string>

class CLog;

struct DownloadProxy {
    std::string proxy;    // for CURLOPT_PROXY; empty: straight to the server
    std::string noProxy;  // for CURLOPT_NOPROXY: hosts reached directly, comma-separated
};

// The proxy for a URL in WinHTTP's terms, as the lists are written there.
struct UrlProxy {
    std::wstring proxy;   // "host:port", or per scheme ("http=a:1;https=b:2"); empty: straight to the server
    std::wstring bypass;  // hosts reached directly, IE's list
};

// What the current user's Internet settings give for url: a proxy script (found by auto-detection,
// or at the configured address) decides first; where none answers, the fixed proxy and its bypass
// list. Settings that cannot be read mean no proxy. The downloads and the reports both ask it; what
// went wrong goes to log (the reports' own failures reach no log: nullptr).
UrlProxy ProxyForUrl(const std::wstring& url, CLog* log);
// The same in libcurl's terms, logged to g_log.
DownloadProxy ProxyForDownload(const std::wstring& url);

// From a WinHTTP proxy list and an IE bypass list, for url: the entry for url's scheme in a
// per-scheme list ("http=a:1;https=b:2"), else the first plain "host:port"; and with a proxy, the
// bypass entries libcurl can express.
DownloadProxy ProxyFromLists(const std::wstring& proxyList, const std::wstring& bypassList, const std::wstring& url);
