#include "stats/ReportSender.h"

#include <windows.h>

#include <string>

#include "base/BuildConfig.h"
#include "base/Log.h"
#include "base/Text.h"
#include "stats/InstallerInfo.h"
#include "stats/SystemProbe.h"
#include "stats/WinHttpClient.h"

std::wstring ReportUrl() {
    return std::wstring(L"http://") + kStatsHost + L":" + std::to_wstring(kReportPort) + L"/state/";
}

std::wstring FormatReportBody(const std::wstring& action, const std::wstring& a1, const std::wstring& a2,
                              const std::wstring& a3, const std::wstring& fragment) {
    return L"[{\"action\":\"" + JsonEscape(action) + L"\",\"a1\":\"" + JsonEscape(a1) + L"\",\"a2\":\"" +
           JsonEscape(a2) + L"\",\"a3\":\"" + JsonEscape(a3) + L"\"," + fragment + L"}]";
}

void SendReportTo(const std::wstring& url, const std::wstring& action, const std::wstring& a1,
                  const std::wstring& a2, const std::wstring& a3) {
    const std::wstring body = FormatReportBody(action, a1, a2, a3, BuildCommonFields(g_installerInfo));

    WinHttpClient client(url);
    client.userAgent = kReportAgent;
    client.resolveTimeout = 10000;
    client.connectTimeout = 5000;
    client.sendTimeout = 5000;
    client.receiveTimeout = 5000;

    const std::string bytes = ToNarrow(body, CP_UTF8);
    client.SetRequestBody(bytes.data(), static_cast<DWORD>(bytes.size()));
    client.requestHeaders = L"Content-Length: " + std::to_wstring(bytes.size()) +
                            L"\r\nContent-Type: application/json;charset=UTF-8\r\n";
    client.Execute(L"POST");
    DebugTrace(L"rsp %s", client.responseBody.c_str());
}

void SendReport(std::wstring action, std::wstring a1, std::wstring a2, std::wstring a3) {
    SendReportTo(ReportUrl(), action, a1, a2, a3);
}
