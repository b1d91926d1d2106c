#include "tasks/Reports.h"

#include <atomic>

namespace {

std::atomic<ReportSender> s_sender{nullptr};

}  // namespace

void SetReportSender(ReportSender sender) noexcept { s_sender = sender; }

void Report(const std::wstring& action, const std::wstring& a1, const std::wstring& a2, const std::wstring& a3) {
    if (const ReportSender sender = s_sender.load()) sender(action, a1, a2, a3);
}
