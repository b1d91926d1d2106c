#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "StatsRecords.h"
#include "TestFiles.h"
#include "base/BuildConfig.h"
#include "base/Log.h"
#include "stats/InstallerInfo.h"
#include "stats/ReportSender.h"
#include "stats/SystemProbe.h"
#include "tasks/Reports.h"
#include "tasks/TaskManager.h"

// Reports go to the statistics server the test run started on port 10081 of the build's
// statistics host (a loopback address), which keeps
// every request it receives as a raw file in its folder (VEXO_STATS_DIR).
namespace {

// Unique to this process, so reports of tests running beside it are told apart.
const std::wstring& Marker() {
    static const std::wstring marker = L"report-tests-" + std::to_wstring(::GetCurrentProcessId());
    return marker;
}

class ReportSenderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetReportSender(SendReport);
        // Identity values that are not JSON-safe; the first report fixes them in the fragment.
        g_installerInfo.version = L"1.0\"6\\30";
        g_installerInfo.build = Marker();
        g_installerInfo.channel = L"web\t07";
        g_installerInfo.engine = L"3.2\n";
        g_installerInfo.commonFields.clear();
    }
};

TEST_F(ReportSenderTest, PostsTheExactRequestWithItsByteCount) {
    SendReport(L"install_err", L"下载.net出错", L"", L"");

    const auto received = RecordedRequestsWith(Utf8(Marker()));
    ASSERT_EQ(received.size(), 1u);
    const RecordedRequest& r = received[0];
    EXPECT_EQ(r.requestLine, "POST /state/ HTTP/1.1");
    EXPECT_EQ(RecordedHeader(r, "User-Agent"), Utf8(kReportAgent));
    EXPECT_EQ(RecordedHeader(r, "Content-Type"), "application/json;charset=UTF-8");
    EXPECT_EQ(RecordedHeader(r, "Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(RecordedHeader(r, "Host"), Utf8(kStatsHost) + ":10081");

    // Member order and bytes exactly: the texts, then the cached fragment.
    const std::wstring fragment = BuildCommonFields(g_installerInfo);
    EXPECT_EQ(r.body, Utf8(L"[{\"action\":\"install_err\",\"a1\":\"下载.net出错\",\"a2\":\"\",\"a3\":\"\"," + fragment + L"}]"));
    // Four Chinese characters are three bytes each in UTF-8.
    const std::string a1 = "\"a1\":\"\xE4\xB8\x8B\xE8\xBD\xBD.net\xE5\x87\xBA\xE9\x94\x99\"";
    EXPECT_NE(r.body.find(a1), std::string::npos) << r.body;

    // Quotes, backslashes and control characters of the identity are escaped, so it parses.
    EXPECT_TRUE(r.validJson) << r.body;
    EXPECT_NE(r.body.find("\"ver\":\"1.0\\\"6\\\\30\",\"build\""), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("\"ch\":\"web\\t07\",\"engines\":\"3.2\\n\",\"vt\":\"-1\""), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find('\n'), std::string::npos);
}

TEST_F(ReportSenderTest, RunnerReportsInOrderWithOneFragment) {
    const size_t before = RecordedRequestsWith(Utf8(Marker())).size();
    InitLogAt(FreshScratch(L"runner") + L"\\tmp.log");

    TaskManager manager;
    manager.SetInstallPath(L"C:\\kavix");
    manager.StartTaskManager();
    for (int i = 0; i < 3000 && manager.startEvent.load() != nullptr; ++i) ::Sleep(10);
    ASSERT_EQ(manager.startEvent.load(), nullptr) << "runner did not finish";

    const auto received = RecordedRequestsWith(Utf8(Marker()));
    ASSERT_EQ(received.size(), before + 3);
    const char* actions[] = {"[{\"action\":\"activate\",\"a1\":\"\",", "[{\"action\":\"install_start\",\"a1\":\"ptaz_all\",",
                             "[{\"action\":\"install_done\",\"a1\":\"ptaz_all\","};
    const std::string fragment = Utf8(BuildCommonFields(g_installerInfo));
    for (size_t i = 0; i < 3; ++i) {
        const std::string& body = received[before + i].body;
        EXPECT_EQ(body.rfind(actions[i], 0), 0u) << body;
        // The fragment, its "time" included, is the one built by this process's first report.
        EXPECT_EQ(body.substr(body.size() - fragment.size() - 2), fragment + "}]");
    }
}

TEST(ReportSenderUnreachable, ReturnsQuietlyWhenNobodyListens) {
    const std::wstring logPath = FreshScratch(L"refused") + L"\\tmp.log";
    InitLogAt(logPath);
    // Port 9 on loopback: nothing listens, the connection is refused at once.
    SendReportTo(L"http://127.0.0.1:9/state/", L"install_done", L"ptaz_all", L"", L"");
    std::string log;
    ReadWholeFile(logPath, &log);
    EXPECT_EQ(log, "") << "a statistics failure must not reach the log";
}

}  // namespace
