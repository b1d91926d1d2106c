#include "stats/ReportSender.h"

#include "app/Log.h"

// Until the statistics client exists, a report is only traced to the debugger output.
void SendReport(std::wstring action, std::wstring a1, std::wstring a2, std::wstring a3) {
    DebugTrace(L"report %s %s %s %s", action.c_str(), a1.c_str(), a2.c_str(), a3.c_str());
}
