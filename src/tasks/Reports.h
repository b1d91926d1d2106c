#pragma once
// Statistics reports as the runner and the tasks send them. The sender is installed by the
// entry point at start-up, so this layer does not depend on how reports are composed and posted.

#include <string>

using ReportSender = void (*)(std::wstring action, std::wstring a1, std::wstring a2, std::wstring a3);

void SetReportSender(ReportSender sender) noexcept;
// Sends one report through the installed sender and returns when it is done; nothing happens
// while none is installed.
void Report(const std::wstring& action, const std::wstring& a1, const std::wstring& a2, const std::wstring& a3);
