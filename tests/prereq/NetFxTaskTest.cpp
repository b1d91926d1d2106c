#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <clocale>
#include <memory>
#include <string>
#include <vector>

#include "StatsRecords.h"
#include "TestFiles.h"
#include "app/InstallChain.h"
#include "base/BuildConfig.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Sha256.h"
#include "archive/UnZipTask.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/NetFxDownloader.h"
#include "prereq/Signature.h"
#include "stats/InstallerInfo.h"
#include "stats/ReportSender.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"

// The downloads against the scripted download and version server the run started on the build's
// hosts (VEXO_NETFX_SERVER, routes set per case), failures reported to the statistics server
// (VEXO_STATS_DIR). Nothing here reads or writes the .NET registry keys.
namespace {

std::string RawEnv(const char* name) {
    char value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? value : "";
}

std::wstring ServerFile(const wchar_t* name) { return WinPathFromEnv(L"VEXO_NETFX_SERVER") + L"\\" + name; }

void SetRoutes(const std::string& routes) {
    UniqueFile file(::CreateFileW(ServerFile(L"routes").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  0, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), routes.data(), static_cast<DWORD>(routes.size()), &written, nullptr));
}

std::string ReadAll(const std::wstring& path) {
    std::string data;
    return ReadWholeFile(path, &data) ? data : "<missing>";
}

// Requests the download server has received so far, "PORT METHOD TARGET" a line.
std::string Requests() { return ReadAll(ServerFile(L"requests")); }

const std::string& Host() {
    static const std::string host = Utf8(kStatsHost);
    return host;
}

// Unique to this process, so reports of other tests are told apart.
const std::wstring& Marker() {
    static const std::wstring marker = L"netfx-tests-" + std::to_wstring(::GetCurrentProcessId());
    return marker;
}

// Bodies of this process's reports the statistics server has received.
std::vector<std::string> Reports() {
    std::vector<std::string> bodies;
    for (const auto& request : RecordedRequestsWith(Utf8(Marker()))) bodies.push_back(request.body);
    return bodies;
}

std::vector<std::string> FilesIn(const std::wstring& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &fd));
    if (find) {
        do {
            const std::wstring name = fd.cFileName;
            if (name != L"." && name != L"..") names.push_back(Utf8(name));
        } while (::FindNextFileW(find.get(), &fd));
    }
    return names;
}

const char kErrorStatus[] = "the server answered with an error status";
const char kNotAProgram[] = "the body is not a Windows program";
const char kTransferFailed[] = "the transfer failed";

class NetFxTaskTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetReportSender(SendReport);
        g_installerInfo.build = Marker();
        g_installerInfo.commonFields.clear();
    }

    void SetUp() override {
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        const std::wstring scratch =
            FreshScratch(Widen(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        moduleDir_ = scratch + L"\\module";
        ::CreateDirectoryW(moduleDir_.c_str(), nullptr);
        logPath_ = scratch + L"\\tmp.log";
        InitLogAt(logPath_);
    }
    void TearDown() override { ::DestroyWindow(window_); }

    static std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

    // A task as the runner hands it over, bounded so a fault cannot hold the run for long.
    std::unique_ptr<DotNetFrameworkTask> MakeTask(NetFxState state) {
        auto task = std::make_unique<DotNetFrameworkTask>(window_, MakeUnZipTask);
        task->SetModuleDir(moduleDir_);
        task->SetInstallPath(L"C:\\kavix");
        task->state = state;
        task->sp2WaitLimitMs = 1000;
        task->downloadLimits.lowSpeedSeconds = 2;
        return task;
    }

    // What was posted to the window, "message:wParam:lParam" with the messages by name.
    std::string Posted() {
        std::string posted;
        MSG msg;
        while (::PeekMessageW(&msg, window_, 0, 0, PM_REMOVE)) {
            const char* name = msg.message == WM_INSTALL_PROGRESS       ? "progress"
                               : msg.message == WM_NETFX_DOWNLOAD_ERROR ? "error"
                                                                        : "other";
            posted += (posted.empty() ? "" : " ") + std::string(name) + ":" +
                      std::to_string(static_cast<int>(msg.wParam)) + ":" + std::to_string(static_cast<int>(msg.lParam));
        }
        return posted;
    }
    std::string Log() { return ReadAll(logPath_); }

    // Runs the task from its download state with a fresh log and expects the failure path: one
    // "install_err" report, the error message after the progress, Abort without a successor,
    // the download's marks in the log with the reason, and nothing run.
    void RunAndExpectFailure(DotNetFrameworkTask& task, const char* reason) {
        InitLogAt(logPath_)->Restart();
        const size_t reportsBefore = Reports().size();
        task.installerName = L"WinNet8132Bit";
        task.Run();

        EXPECT_EQ(task.state, NetFxState::Abort);
        EXPECT_TRUE(task.finished);
        EXPECT_EQ(task.next, nullptr);
        EXPECT_EQ(Posted(), "progress:15:-2 error:-2:-2");
        const auto reports = Reports();
        ASSERT_EQ(reports.size(), reportsBefore + 1);
        EXPECT_EQ(reports.back().rfind(
                      Utf8(L"[{\"action\":\"install_err\",\"a1\":\"" + std::wstring(kDownloadFailedReport) +
                           L"\",\"a2\":\"\",\"a3\":\"\","),
                      0),
                  0u)
            << reports.back();
        const std::string log = Log();
        EXPECT_NE(log.find(std::string("download failed: ") + reason), std::string::npos) << log;
        EXPECT_LT(log.find("DotNetFrameworkTask download framework enter now"),
                  log.find("DotNetFrameworkTask downlaod framework exit now"))
            << log;
        EXPECT_EQ(log.find("RunProgram"), std::string::npos) << log;
        EXPECT_EQ(log.find("Install35NetFx now"), std::string::npos) << log;
    }

    HWND window_ = nullptr;
    std::wstring moduleDir_;
    std::wstring logPath_;
};

TEST_F(NetFxTaskTest, StoresTheFinalBodyUnderTheInstallerName) {
    const std::string standIn = RawEnv("VEXO_INSTALLER_STANDIN");
    std::string program;
    ASSERT_TRUE(ReadWholeFile(WinPathFromEnv(L"VEXO_INSTALLER_STANDIN"), &program));
    // The download server sends the service pack on to the version server, which holds it.
    SetRoutes("/others/dotnet/sp2.exe redirect http://" + Host() +
              ":10080/files/sp2.exe\n"
              "/files/sp2.exe file " +
              standIn + "\n/dotnet/ver.php file " + standIn + "\n");
    const size_t reportsBefore = Reports().size();

    std::string requests = Requests();
    auto sp2 = MakeTask(NetFxState::DownloadSp2);
    DownloadSp2(*sp2);
    EXPECT_EQ(sp2->state, NetFxState::InstallSp2);
    EXPECT_EQ(ReadAll(moduleDir_ + L"\\sp2.exe"), program);
    EXPECT_EQ(Requests().substr(requests.size()), "80 GET /others/dotnet/sp2.exe\n10080 GET /files/sp2.exe\n");
    EXPECT_EQ(Posted(), "progress:15:-2");

    requests = Requests();
    auto netfx = MakeTask(NetFxState::DownloadNetFx);
    netfx->installerName = L"WinNet1064Bit";
    DownloadNetFx(*netfx);
    EXPECT_EQ(netfx->state, NetFxState::InstallNetFx);
    EXPECT_EQ(ReadAll(moduleDir_ + L"\\WinNet1064Bit.exe"), program);
    EXPECT_EQ(Requests().substr(requests.size()), "10080 GET /dotnet/ver.php?ver=WinNet1064Bit\n");
    EXPECT_EQ(Posted(), "progress:15:-2");

    // Only the version server's address is logged, once.
    const std::string log = Log();
    const std::string url = "[INFORMATION] downloadURL http://" + Host() + ":10080/dotnet/ver.php?ver=WinNet1064Bit [";
    EXPECT_NE(log.find(url), std::string::npos) << log;
    EXPECT_EQ(log.rfind("downloadURL"), log.find("downloadURL")) << log;
    EXPECT_EQ(Reports().size(), reportsBefore);
}

// Each failure ends the chain the same way, leaves no file behind and never runs what came:
// a program is refused unless the trusted publisher signed it and it is unchanged since.
TEST_F(NetFxTaskTest, FailedDownloadsReportAbortAndLeaveNothing) {
    const std::string standIn = RawEnv("VEXO_INSTALLER_STANDIN");
    const auto beside = [&standIn](const char* kind) {
        return standIn.substr(0, standIn.size() - 4) + "." + kind + ".exe";
    };
    const struct {
        const char* name;
        NetFxState state;
        std::string routes;
        const char* reason;
    } cases[] = {
        {"not found", NetFxState::DownloadSp2, "", kErrorStatus},
        {"server error", NetFxState::DownloadNetFx, "/dotnet/ver.php status 500\n", kErrorStatus},
        {"error after a redirect", NetFxState::DownloadNetFx,
         "/dotnet/ver.php redirect /gone.exe\n/gone.exe status 404\n", kErrorStatus},
        {"a page, not a program", NetFxState::DownloadNetFx, "/dotnet/ver.php text <html>MZ later</html>\n",
         kNotAProgram},
        {"empty body", NetFxState::DownloadSp2, "/others/dotnet/sp2.exe empty\n", kNotAProgram},
        {"connection dropped", NetFxState::DownloadSp2, "/others/dotnet/sp2.exe drop\n", kTransferFailed},
        {"stalled", NetFxState::DownloadNetFx, "/dotnet/ver.php stall\n", kTransferFailed},
        {"redirected in a circle", NetFxState::DownloadSp2, "/others/dotnet/sp2.exe redirect /others/dotnet/sp2.exe\n",
         kTransferFailed},
        {"not signed", NetFxState::DownloadNetFx, "/dotnet/ver.php file " + beside("unsigned") + "\n",
         "not signed (0x800B0100)"},
        {"changed after signing", NetFxState::DownloadSp2, "/others/dotnet/sp2.exe file " + beside("tampered") + "\n",
         "signature does not match the file (0x80096010)"},
        {"another publisher", NetFxState::DownloadNetFx, "/dotnet/ver.php file " + beside("other") + "\n",
         "signed by Vexo Other Publisher, not a trusted publisher (0x00000000)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetRoutes(c.routes);
        const std::string requests = Requests();
        auto task = MakeTask(c.state);
        RunAndExpectFailure(*task, c.reason);
        EXPECT_EQ(FilesIn(moduleDir_), std::vector<std::string>{});
        // A redirect circle is cut short too.
        const std::string asked = Requests().substr(requests.size());
        EXPECT_LE(std::count(asked.begin(), asked.end(), '\n'), 21) << asked.substr(0, 200);
    }
}

TEST_F(NetFxTaskTest, UnwritableTargetIsAFailureWithoutATransfer) {
    // Root may write anywhere: one target is taken by a folder, the other's folder is missing.
    ASSERT_TRUE(::CreateDirectoryW((moduleDir_ + L"\\sp2.exe").c_str(), nullptr));
    const std::string standIn = RawEnv("VEXO_INSTALLER_STANDIN");
    SetRoutes("/others/dotnet/sp2.exe file " + standIn + "\n/dotnet/ver.php file " + standIn + "\n");
    const struct {
        NetFxState state;
        std::wstring moduleDir;
    } cases[] = {{NetFxState::DownloadSp2, moduleDir_}, {NetFxState::DownloadNetFx, moduleDir_ + L"\\missing"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        const std::string requests = Requests();
        auto task = MakeTask(c.state);
        task->SetModuleDir(c.moduleDir);
        RunAndExpectFailure(*task, "the target file cannot be created");
        EXPECT_EQ(Requests(), requests);
        EXPECT_EQ(Log().find("downloadURL"), std::string::npos) << Log();
    }
}

TEST_F(NetFxTaskTest, RefusedConnectionFailsAndDeletesTheFile) {
    const std::string port = ReadAll(ServerFile(L"refused-port"));
    ASSERT_NE(port, "<missing>");
    const std::wstring url = L"http://" + std::wstring(kStatsHost) + L":" + Widen(port.substr(0, port.find('\n'))) +
                             L"/dotnet/ver.php?ver=WinNet832Bit";
    const std::wstring path = moduleDir_ + L"\\WinNet832Bit.exe";
    // The window's thread may be converting text meanwhile: the process-wide C locale stays as it is.
    const std::string locale = std::setlocale(LC_ALL, "");
    EXPECT_EQ(DownloadToFile(url, path), DownloadResult::TransferFailed);
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), locale);
    std::setlocale(LC_ALL, "C");
    EXPECT_FALSE(PathExists(path));
}

// The stand-in as a transfer leaves it in the module folder, and what the transfer knows of it.
DownloadedFile PlaceDownload(const std::wstring& moduleDir, const std::wstring& name) {
    DownloadedFile done{moduleDir + L"\\" + name + L".exe"};
    EXPECT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_INSTALLER_STANDIN").c_str(), done.path.c_str(), FALSE));
    UniqueFile file(::CreateFileW(done.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file && HashRest(file.get(), &done.digest));
    return done;
}

HANDLE OpenToWrite(const std::wstring& path) {
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
}

// From its check until its program has run nobody can write, delete or rename the download, and
// the loader and the shell still start it.
TEST_F(NetFxTaskTest, CheckedDownloadIsHeldUntilItHasRun) {
    const struct {
        const wchar_t* name;
        NetFxState checked, ran;
        void (*install)(DotNetFrameworkTask&);
    } cases[] = {{L"WinNet1064Bit", NetFxState::InstallNetFx, NetFxState::Finish, Install35NetFx},
                 {L"sp2", NetFxState::InstallSp2, NetFxState::WaitSp2, InstallSp2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.name));
        const DownloadedFile done = PlaceDownload(moduleDir_, c.name);
        auto task = MakeTask(NetFxState::Check);
        task->installerName = c.name;
        TakeDownload(*task, done, c.name, c.checked);
        ASSERT_EQ(task->state, c.checked) << Log();
        EXPECT_FALSE(UniqueFile(OpenToWrite(done.path)));
        EXPECT_FALSE(::DeleteFileW(done.path.c_str()));
        EXPECT_FALSE(::MoveFileW(done.path.c_str(), (done.path + L".moved").c_str()));

        c.install(*task);
        EXPECT_EQ(task->state, c.ran);
        EXPECT_FALSE(task->heldDownload);
        EXPECT_NE(ReadAll(done.path + L".ran").find(Utf8(c.name) + ".exe"), std::string::npos);
        ::DeleteFileW(done.path.c_str());
    }
}

// A download that is not what the transfer wrote, or that someone else holds open for writing, is
// refused at once and goes the way of a failed download.
TEST_F(NetFxTaskTest, DownloadChangedOrOpenElsewhereIsRefused) {
    for (const bool changed : {true, false}) {
        SCOPED_TRACE(changed);
        DownloadedFile done = PlaceDownload(moduleDir_, L"WinNet8132Bit");
        done.digest[7] ^= changed ? 1 : 0;
        UniqueFile writer(changed ? INVALID_HANDLE_VALUE : OpenToWrite(done.path));
        ASSERT_NE(static_cast<bool>(writer), changed);
        InitLogAt(logPath_)->Restart();
        const size_t reportsBefore = Reports().size();
        auto task = MakeTask(NetFxState::DownloadNetFx);
        TakeDownload(*task, done, L"WinNet8132Bit", NetFxState::InstallNetFx);
        EXPECT_EQ(task->state, NetFxState::Abort);
        EXPECT_EQ(Posted(), "error:-2:-2");
        EXPECT_EQ(Reports().size(), reportsBefore + 1);
        const char* reason = changed ? "the file changed after it was written"
                                     : "the file cannot be held against writing (error 32)";
        EXPECT_NE(Log().find(std::string("download failed: ") + reason), std::string::npos) << Log();
        writer.reset();
        EXPECT_FALSE(PathExists(done.path));
    }
}

// Without WinVerifyTrust nothing is trusted, not even a file the trusted publisher signed.
TEST(Signature, MissingVerifierRefuses) {
    const std::wstring signedByTrusted = WinPathFromEnv(L"VEXO_INSTALLER_STANDIN");
    ASSERT_EQ(CheckSignature(signedByTrusted, TrustedPublishers()).verdict, SignatureVerdict::Trusted);
    const SignatureCheck check = CheckSignatureWith(nullptr, signedByTrusted, TrustedPublishers());
    EXPECT_EQ(check.verdict, SignatureVerdict::NotTrusted);
    EXPECT_EQ(DescribeRefusal(check), L"signature not trusted (0x8007007F)");
}

// Checked through a handle, the verdict is that of the file held, wherever the handle stands.
TEST(Signature, ChecksTheFileHeldNotThePath) {
    const std::wstring standIn = WinPathFromEnv(L"VEXO_INSTALLER_STANDIN");
    UniqueFile file(::CreateFileW(standIn.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(::SetFilePointer(file.get(), 100, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    const std::wstring unsignedCopy = standIn.substr(0, standIn.size() - 4) + L".unsigned.exe";
    EXPECT_EQ(CheckSignature(file.get(), unsignedCopy, TrustedPublishers()).verdict, SignatureVerdict::Trusted);
}

// Whatever the state holds beyond the table, the task finishes and hands over to the extraction.
TEST_F(NetFxTaskTest, UnknownStatesFinish) {
    for (int value : {8, -1, 0x7fffffff}) {
        SCOPED_TRACE(value);
        auto task = MakeTask(static_cast<NetFxState>(value));
        task->Run();
        EXPECT_TRUE(task->finished);
        auto* unzip = dynamic_cast<UnZipTask*>(task->next);
        ASSERT_NE(unzip, nullptr);
        EXPECT_EQ(unzip->installPath, L"C:\\kavix");
        EXPECT_EQ(unzip->progressBase, 30);
        EXPECT_EQ(unzip->mainWindow, window_);
        EXPECT_EQ(Posted(), "progress:30:-1");
        delete unzip;
    }
}

}  // namespace
