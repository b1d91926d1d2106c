#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <clocale>
#include <iterator>
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
#include "prereq/RunFolder.h"
#include "prereq/RunVCTask.h"
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
        // The stand-ins run from folders of the installer's own, which go: they note how they ran here.
        ::SetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", moduleDir_.c_str());
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
        task->downloadLimits.firstRetryWaitMs = 50;
        return task;
    }

    // What was posted to the window, "message:wParam:lParam" with the messages by name; the
    // download's own state and progress are left to DownloadStates.
    std::string Posted() {
        std::string posted;
        MSG msg;
        while (::PeekMessageW(&msg, window_, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_DOWNLOAD_STATE || msg.message == WM_DOWNLOAD_PROGRESS) continue;
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
    DownloadedFile done;
    done.path = moduleDir + L"\\" + name + L".exe";
    EXPECT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_INSTALLER_STANDIN").c_str(), done.path.c_str(), FALSE));
    UniqueFile file(::CreateFileW(done.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file && HashRest(file.get(), &done.digest));
    return done;
}

// How a stand-in ran, from its record (command line, then current folder): "a folder of its own,
// gone since" when it ran as `program` in a new folder of RunFolderParent(), that folder its current
// one, and that folder is gone; else the record.
std::string RanFrom(const std::wstring& record, const std::wstring& program) {
    const std::string ran = ReadAll(record);
    const size_t end = ran.find('\n');
    if (end == std::string::npos) return ran;
    std::string commandLine = ran.substr(0, end);
    const std::string folder = ran.substr(end + 1, ran.find('\n', end + 1) - end - 1);
    if (!commandLine.empty() && commandLine[0] == '"') commandLine = commandLine.substr(1);
    const std::string ours = Utf8(RunFolderParent()) + "kavix-run-";
    const bool own = folder.compare(0, ours.size(), ours) == 0 && folder.find('\\', ours.size()) == std::string::npos &&
                     commandLine.compare(0, folder.size() + 1 + program.size(), folder + "\\" + Utf8(program)) == 0;
    return own && !PathExists(std::wstring(folder.begin(), folder.end())) ? "a folder of its own, gone since" : ran;
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
        void (*wait)(DotNetFrameworkTask&);  // until its folder goes
    } cases[] = {{L"WinNet1064Bit", NetFxState::InstallNetFx, NetFxState::Finish, Install35NetFx, nullptr},
                 {L"sp2", NetFxState::InstallSp2, NetFxState::WaitSp2, InstallSp2, WaitForSp2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.name));
        DownloadedFile done = PlaceDownload(moduleDir_, c.name);
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
        if (c.wait != nullptr) c.wait(*task);
        EXPECT_EQ(RanFrom(done.path + L".ran", std::wstring(c.name) + L".exe"), "a folder of its own, gone since");
        ::DeleteFileW(done.path.c_str());
    }
}

// Another process trying, from before the download to its run, to open it for writing and write its
// own program over it never gets in, and what runs is the signed program that was downloaded, held
// by the task while it runs.
TEST_F(NetFxTaskTest, ADownloadCannotBeSwappedBeforeItRuns) {
    const struct {
        const wchar_t* file;
        NetFxState state, downloaded;
        void (*download)(DotNetFrameworkTask&);
        void (*install)(DotNetFrameworkTask&);
        const char* route;
    } cases[] = {{L"WinNet1064Bit.exe", NetFxState::DownloadNetFx, NetFxState::InstallNetFx, DownloadNetFx,
                  Install35NetFx, "/dotnet/ver.php"},
                 {L"sp2.exe", NetFxState::DownloadSp2, NetFxState::InstallSp2, DownloadSp2, InstallSp2,
                  "/others/dotnet/sp2.exe"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.file));
        SetRoutes(std::string(c.route) + " file " + RawEnv("VEXO_INSTALLER_STANDIN") + "\n");
        const std::wstring path = moduleDir_ + L"\\" + c.file;
        std::wstring commandLine = L"swapper \"" + path + L"\" \"" + path + L".ran\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        ASSERT_TRUE(::CreateProcessW(WinPathFromEnv(L"VEXO_SWAPPER").c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                     0, nullptr, nullptr, &startup, &started));
        const UniqueHandle swapper(started.hProcess), thread(started.hThread);

        auto task = MakeTask(c.state);
        task->installerName = L"WinNet1064Bit";
        c.download(*task);
        ASSERT_EQ(task->state, c.downloaded) << Log();
        c.install(*task);

        ASSERT_EQ(::WaitForSingleObject(swapper.get(), 60000), WAIT_OBJECT_0);
        DWORD opened = 1;
        EXPECT_TRUE(::GetExitCodeProcess(swapper.get(), &opened) && opened == 0) << opened << " opens for writing";
        // Its command line names it; while it ran, the task still held it.
        const std::string ran = ReadAll(path + L".ran");
        EXPECT_NE(ran.find(Utf8(c.file)), std::string::npos) << ran;
        EXPECT_EQ(ran.substr(ran.rfind('\n', ran.size() - 2) + 1), "held\n") << ran;
        ::DeleteFileW((path + L".ran").c_str());
        ::DeleteFileW(path.c_str());
    }
}

// Where another program of the user's left a DLL before an installation, under the name of one a
// program loads by name. Windows looks for such a DLL in the program's own folder first (and in the
// current folder): the copy there would run with the rights of the elevated installer.
enum class PlantedIn {
    Downloads,       // the installer's folder, where the .NET installers are downloaded
    RuntimeFolder,   // the install folder's assets\software, beside the runtime package
    InstallerFolder  // beside the installer itself, for what the system DLLs it uses load late
};
struct PlantedDll {
    PlantedIn in;
    const wchar_t* name;
};
// Each row fails where its program loads the planted copy. Not here: version and imm32 beside the
// installer, which Wine's own user32 loads as it starts, before any code of the installer runs
// (Windows' does not).
const PlantedDll kPlantedDlls[] = {
    {PlantedIn::Downloads, L"version"},      // the .NET installers import it
    {PlantedIn::Downloads, L"dwmapi"},       // and load it by name as they run
    {PlantedIn::RuntimeFolder, L"version"},  // the runtime package likewise
    {PlantedIn::RuntimeFolder, L"dwmapi"},
    {PlantedIn::InstallerFolder, L"windowscodecs"},  // GDI+, decoding the skin
    {PlantedIn::InstallerFolder, L"iphlpapi"},       // WinHTTP: the reports, the proxy settings
    {PlantedIn::InstallerFolder, L"dhcpcsvc"},       // WinHTTP, looking for a proxy script
    {PlantedIn::InstallerFolder, L"crypt32"},        // WinHTTP
};

// The processes the DLL planted as `name` in `folder` was loaded into, one a line; empty if none.
std::string LoadedInto(const std::wstring& folder, const wchar_t* name) {
    std::string loaded;
    return ReadWholeFile(folder + L"\\" + name + L".loaded", &loaded) ? loaded : "";
}

// The table above, row by row: the DLL planted, Windows' search emulated for its name (Wine
// otherwise takes its own copy first: WINEDLLOVERRIDES), then what the installer does there. The planted copy never
// runs, and the program that would have loaded it did run.
TEST_F(NetFxTaskTest, PlantedDllsNeverRunInWhatTheInstallerStarts) {
    const std::string standIn = RawEnv("VEXO_INSTALLER_STANDIN");
    SetRoutes("/others/dotnet/sp2.exe file " + standIn + "\n/dotnet/ver.php file " + standIn + "\n");
    const std::string overrides = RawEnv("WINEDLLOVERRIDES");
    for (size_t row = 0; row < std::size(kPlantedDlls); ++row) {
        const PlantedDll& planted = kPlantedDlls[row];
        SCOPED_TRACE(Utf8(planted.name) + " in row " + std::to_string(row));
        const std::wstring scratch = FreshScratch(L"planted-" + std::to_wstring(row));
        const std::wstring install = scratch + L"\\kavix", software = install + L"\\assets\\software";
        for (const std::wstring& f : {install, install + L"\\assets", software})
            ASSERT_TRUE(::CreateDirectoryW(f.c_str(), nullptr));
        const std::wstring folder = planted.in == PlantedIn::RuntimeFolder ? software : scratch;
        ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_PLANTED_DLL").c_str(),
                                (folder + L"\\" + planted.name + L".dll").c_str(), TRUE));
        // Wine takes the overrides from the environment the test started with (a child does not see
        // one set here, measured): the test's settings name each DLL of the table.
        ASSERT_NE(overrides.find(Utf8(planted.name)), std::string::npos) << overrides;
        ::SetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", scratch.c_str());

        std::vector<std::string> ran;
        switch (planted.in) {
            case PlantedIn::Downloads: {
                auto netfx = MakeTask(NetFxState::DownloadNetFx);
                netfx->SetModuleDir(scratch);
                netfx->installerName = L"WinNet1064Bit";
                DownloadNetFx(*netfx);
                ASSERT_EQ(netfx->state, NetFxState::InstallNetFx) << Log();
                Install35NetFx(*netfx);
                auto sp2 = MakeTask(NetFxState::DownloadSp2);
                sp2->SetModuleDir(scratch);
                DownloadSp2(*sp2);
                ASSERT_EQ(sp2->state, NetFxState::InstallSp2) << Log();
                InstallSp2(*sp2);
                ran = {"WinNet1064Bit.exe.ran", "sp2.exe.ran"};
                break;
            }
            case PlantedIn::RuntimeFolder: {
                const std::wstring package = software + L"\\vc.exe";
                ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_VC").c_str(), package.c_str(), TRUE));
                RunVCTask task(window_);
                task.SetInstallPath(install);
                task.runtimePackageSha256 = Sha256OfFile(package);
                task.startsEmulator = false;
                task.Run();
                ran = {"vc-cmdline.txt"};
                break;
            }
            case PlantedIn::InstallerFolder: {
                const std::wstring probe = scratch + L"\\VexoInstaller.exe";
                ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_PLANTING_PROBE").c_str(), probe.c_str(), TRUE));
                std::wstring commandLine = L"\"" + probe + L"\" late";
                STARTUPINFOW startup = {};
                startup.cb = sizeof startup;
                PROCESS_INFORMATION started = {};
                ASSERT_TRUE(::CreateProcessW(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                             scratch.c_str(), &startup, &started));
                const UniqueHandle process(started.hProcess), thread(started.hThread);
                ASSERT_EQ(::WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
                DWORD code = 1;
                EXPECT_TRUE(::GetExitCodeProcess(process.get(), &code) && code == 0) << code;
                break;
            }
        }
        EXPECT_EQ(LoadedInto(folder, planted.name), "");
        for (const std::string& record : ran)
            EXPECT_TRUE(PathExists(scratch + L"\\" + std::wstring(record.begin(), record.end())))
                << record << " did not run";
        Posted();
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

// A file of `size` bytes beside the server's routes, a program to the downloader ("MZ" first).
std::string MakeServedFile(const wchar_t* name, size_t size) {
    std::string data(size, '\0');
    uint32_t x = 12345;
    for (char& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    data[0] = 'M';
    data[1] = 'Z';
    UniqueFile file(::CreateFileW(ServerFile(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    EXPECT_TRUE(file && ::WriteFile(file.get(), data.data(), static_cast<DWORD>(size), &written, nullptr));
    return data;
}

Sha256Digest DigestOf(const std::string& data) {
    Sha256 sha;
    Sha256Digest digest = {};
    sha.Update(data.data(), data.size());
    sha.Finish(&digest);
    return digest;
}

// Body bytes the server has sent for a path, over all its answers.
uint64_t SentFor(const std::string& path) {
    uint64_t sum = 0;
    const std::string sent = ReadAll(ServerFile(L"sent"));
    for (size_t at = 0; at < sent.size();) {
        const size_t end = sent.find('\n', at);
        const std::string line = sent.substr(at, end - at);
        if (line.compare(0, path.size() + 1, path + " ") == 0) sum += std::stoull(line.substr(path.size() + 1));
        at = end == std::string::npos ? sent.size() : end + 1;
    }
    return sum;
}

// The download's messages to the window: its states in order ("S" starting, "R" resuming), and
// whether the arrived KiB never went back except at a start and ended at the total.
struct DownloadMessages {
    std::string states;
    bool steady = true;
    WPARAM lastArrived = 0;
    LPARAM lastTotal = 0;
};

DownloadMessages DownloadStates(HWND window) {
    DownloadMessages seen;
    MSG msg;
    while (::PeekMessageW(&msg, window, WM_DOWNLOAD_STATE, WM_DOWNLOAD_PROGRESS, PM_REMOVE)) {
        if (msg.message == WM_DOWNLOAD_STATE) {
            seen.states += msg.lParam == kDownloadStarting ? "S" : "R";
            if (msg.lParam == kDownloadStarting) seen.lastArrived = 0;
        } else {
            seen.steady = seen.steady && msg.wParam >= seen.lastArrived;
            seen.lastArrived = msg.wParam;
            seen.lastTotal = msg.lParam;
        }
    }
    return seen;
}

// Transfers that break or change on the way: each goes on from the byte reached, or starts over
// once, and what lies under the name in the end is the file, known by its digest.
TEST_F(NetFxTaskTest, BrokenTransfersResumeOrStartOver) {
    const size_t size = 4 << 20;
    const std::string data = MakeServedFile(L"resume.bin", size);
    const std::string file = RawEnv("VEXO_NETFX_SERVER") + "/resume.bin";
    const struct {
        const char* name;
        std::string options;
        DownloadResult result;
        const char* states;
        double maxSent;  // of the file's size
    } cases[] = {
        {"drops every MiB", "drop=1048576", DownloadResult::Ok, "SRRR", 1.25},
        {"range ignored", "drop=1500000 drops=1 ranges=ignore", DownloadResult::Ok, "SRS", 1.4},
        {"validator changed", "drop=1500000 drops=1 etag=changes", DownloadResult::Ok, "SRS", 1.4},
        // The piece of the other version is refused by the client itself: it starts over.
        {"validator changed, If-Range ignored", "drop=1500000 drops=1 etag=changes ifrange=ignore", DownloadResult::Ok,
         "SRS", 2.0},
        {"no length", "length=none", DownloadResult::Ok, "S", 1.0},
        {"dropped before any data", "drop=0", DownloadResult::TransferFailed, "S", 0.0},
    };
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string route = "/resume/" + std::to_string(++row) + ".exe";
        SetRoutes(route + " file " + file + " " + c.options + "\n");
        const std::wstring path = moduleDir_ + L"\\" + Widen(std::to_string(row)) + L".exe";
        const std::string requests = Requests();
        TransferLimits limits;
        limits.firstRetryWaitMs = 20;
        DownloadedFile done;
        EXPECT_EQ(DownloadToFile(L"http://" + Widen(Host()) + L":10080" + Widen(route), path, limits, &done,
                                 DownloadProgress{window_, kDownloadSp2}),
                  c.result);
        const DownloadMessages seen = DownloadStates(window_);
        EXPECT_EQ(seen.states, c.states);
        EXPECT_LE(SentFor(route), static_cast<uint64_t>(c.maxSent * size));
        if (c.result != DownloadResult::Ok) {
            // Nothing to go on from: one request, no file, no partial file.
            const std::string asked = Requests().substr(requests.size());
            EXPECT_EQ(std::count(asked.begin(), asked.end(), '\n'), 1) << asked;
            EXPECT_EQ(FilesIn(moduleDir_), std::vector<std::string>{});
            continue;
        }
        // The version of the last answer: the server changes the third byte in its second one.
        std::string expected = data;
        if (c.options.find("etag=changes") != std::string::npos) expected[2] = static_cast<char>(expected[2] ^ 0xFF);
        EXPECT_TRUE(ReadAll(path) == expected);
        EXPECT_EQ(done.path, path);
        EXPECT_TRUE(done.digest == DigestOf(expected)) << ToHex(done.digest);
        EXPECT_TRUE(seen.steady);
        EXPECT_EQ(seen.lastArrived, size / 1024);
        EXPECT_EQ(seen.lastTotal, static_cast<LPARAM>(size / 1024));
        EXPECT_EQ(FilesIn(moduleDir_), std::vector<std::string>{std::to_string(row) + ".exe"});
        // Held since before it had its name: nobody has ever been able to write to it under it.
        ASSERT_TRUE(done.held);
        EXPECT_FALSE(UniqueFile(OpenToWrite(path)));
        done.held.reset();
        ::DeleteFileW(path.c_str());
    }
}

// A run that gives up leaves what arrived beside the installer; the next run is sent the rest only.
TEST_F(NetFxTaskTest, NextRunGoesOnFromThePartialFile) {
    const size_t size = 3 << 20, first = 1500000;
    const std::string data = MakeServedFile(L"partial.bin", size);
    const std::string route = "/partial/sp2.exe";
    SetRoutes(route + " file " + RawEnv("VEXO_NETFX_SERVER") + "/partial.bin drop=" + std::to_string(first) +
              " drops=1\n");
    const std::wstring url = L"http://" + Widen(Host()) + L":10080" + Widen(route);
    const std::wstring path = moduleDir_ + L"\\sp2.exe";
    TransferLimits limits;
    limits.retries = 0;
    EXPECT_EQ(DownloadToFile(url, path, limits), DownloadResult::TransferFailed);
    EXPECT_EQ(FilesIn(moduleDir_), (std::vector<std::string>{"sp2.exe.partial", "sp2.exe.partial.validator"}));
    EXPECT_TRUE(ReadAll(PartialDownloadPath(path)) == data.substr(0, first));

    DownloadedFile done;
    EXPECT_EQ(DownloadToFile(url, path, {}, &done, DownloadProgress{window_, kDownloadSp2}), DownloadResult::Ok);
    EXPECT_EQ(SentFor(route), size);
    EXPECT_TRUE(ReadAll(path) == data);
    EXPECT_TRUE(done.digest == DigestOf(data)) << ToHex(done.digest);
    EXPECT_EQ(FilesIn(moduleDir_), std::vector<std::string>{"sp2.exe"});
    const DownloadMessages seen = DownloadStates(window_);
    EXPECT_EQ(seen.states, "R");
    EXPECT_TRUE(seen.steady);
    EXPECT_EQ(seen.lastArrived, size / 1024);
}

// Links put, by anyone who may write the installer's folder, at the names a download writes or
// removes, each leading to a file elsewhere (the victim): the victim stays byte for byte as it was,
// and the download still ends with the file under its name. A row: the name the link is put at
// (the download's name and this), and whether an earlier run left a partial file and its record, of
// which the link then takes one's place. Hard links only: Wine shows a Unix symbolic link to a file
// as the file itself, by path and by handle, so no program under it can tell one is there.
TEST_F(NetFxTaskTest, LinksAtTheDownloadsNamesAreNotWrittenThrough) {
    const size_t size = 2 << 20, first = 1000000;
    const std::string data = MakeServedFile(L"planted.bin", size);
    const struct {
        const char* name;
        const wchar_t* at;
        bool resume;
        const char* states;
    } cases[] = {
        {"hard link at the partial file", L".partial", false, "S"},
        {"hard link at the partial file, resuming", L".partial", true, "S"},
        {"hard link at the record", L".partial.validator", false, "S"},
        {"hard link at the record, resuming", L".partial.validator", true, "S"},
        {"hard link at the final name, resuming", L"", true, "R"},
    };
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string route = "/planted/" + std::to_string(++row) + "/sp2.exe";
        SetRoutes(route + " file " + RawEnv("VEXO_NETFX_SERVER") + "/planted.bin" +
                  (c.resume ? " drop=" + std::to_string(first) + " drops=1" : "") + "\n");
        const std::wstring url = L"http://" + Widen(Host()) + L":10080" + Widen(route);
        const std::wstring path = moduleDir_ + L"\\sp2.exe", planted = path + c.at;
        if (c.resume) {
            TransferLimits once;
            once.retries = 0;
            ASSERT_EQ(DownloadToFile(url, path, once), DownloadResult::TransferFailed);
            ASSERT_TRUE(::DeleteFileW(planted.c_str()) || c.at[0] == L'\0');
        }
        // The user's own file, which reads as what the name would hold: the bytes received so far
        // for the partial file, a program for the others.
        const std::wstring victim = FreshScratch(L"victim-" + Widen(std::to_string(row))) + L"\\mine.dat";
        const std::string own = c.at == std::wstring(L".partial") ? data.substr(0, first) : "MZ, the user's own";
        {
            UniqueFile file(::CreateFileW(victim.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
            DWORD written = 0;
            ASSERT_TRUE(file && ::WriteFile(file.get(), own.data(), static_cast<DWORD>(own.size()), &written, nullptr));
        }
        ASSERT_TRUE(::CreateHardLinkW(planted.c_str(), victim.c_str(), nullptr)) << ::GetLastError();

        DownloadedFile done;
        EXPECT_EQ(DownloadToFile(url, path, {}, &done, DownloadProgress{window_, kDownloadSp2}), DownloadResult::Ok);
        done.held.reset();
        EXPECT_TRUE(ReadAll(victim) == own)
            << "the user's own file was written over: " << ReadAll(victim).substr(0, 40);
        EXPECT_TRUE(ReadAll(path) == data);
        EXPECT_TRUE(done.digest == DigestOf(data)) << ToHex(done.digest);
        EXPECT_EQ(DownloadStates(window_).states, c.states);
        EXPECT_EQ(FilesIn(moduleDir_), std::vector<std::string>{"sp2.exe"});
        ::DeleteFileW(path.c_str());
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
