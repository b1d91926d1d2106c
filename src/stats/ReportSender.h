#pragma once
// Statistics reports: one small JSON document per installation event, posted synchronously.

#include <string>

constexpr wchar_t kReportAgent[] =
    L"KAVIX Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.2; SV1; .NET CLR 1.1.4322; .NET CLR 2.0.50727)";
constexpr int kReportPort = 10081;

// "http://<statistics host>:10081/state/", the host chosen at build time.
std::wstring ReportUrl();

// [{"action":..,"a1":..,"a2":..,"a3":..,<fragment>}] with no spaces; the four texts are escaped
// for JSON, the fragment (already escaped) goes in as it is.
std::wstring FormatReportBody(const std::wstring& action, const std::wstring& a1, const std::wstring& a2,
                              const std::wstring& a3, const std::wstring& fragment);

// Sends one report and returns when the exchange is over; its outcome never reaches the caller,
// the user or the log (only the debugger output sees the reply).
void SendReport(std::wstring action, std::wstring a1, std::wstring a2, std::wstring a3);
// The same to another address; SendReport uses ReportUrl().
void SendReportTo(const std::wstring& url, const std::wstring& action, const std::wstring& a1,
                  const std::wstring& a2, const std::wstring& a3);
