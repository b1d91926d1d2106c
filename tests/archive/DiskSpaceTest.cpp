// The free-space check on a real small drive: a tmpfs of 4 MiB with 4 KiB clusters that the
// fixture shows to Wine as VEXO_SMALL_DRIVE, and payloads sized against it
// (make_disk_payloads.py). "platform.zip" is placed beside this test program, as beside the
// installer.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "archive/DiskSpace.h"
#include "archive/PreviousInstall.h"
#include "archive/UnZipTask.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "tasks/InstallMessages.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kDriveBytes = 4 * kMiB;
constexpr uint64_t kCluster = 4096;

std::wstring SmallDrive() {
    wchar_t letter[8] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"VEXO_SMALL_DRIVE", letter, 8);
    return n > 0 && n < 8 ? letter : L"";
}

std::wstring DiskData(const wchar_t* name) { return WinPathFromEnv(L"VEXO_DISKDATA") + L"\\" + name; }

void MakeFile(const std::wstring& path, uint64_t size) {
    const size_t slash = path.rfind(L'\\');
    ::CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << Utf8(path);
    const std::string chunk(64 * 1024, 'o');
    for (uint64_t left = size; left > 0;) {
        const DWORD part = static_cast<DWORD>(std::min<uint64_t>(left, chunk.size()));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), chunk.data(), part, &written, nullptr) && written == part);
        left -= part;
    }
}

// The files below a folder, as paths relative to it, sorted.
std::vector<std::wstring> FilesBelow(const std::wstring& folder, const std::wstring& prefix = L"") {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found = {};
    const UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return files;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            for (auto& file : FilesBelow(folder + L"\\" + name, prefix + name + L"\\")) files.push_back(file);
        } else {
            files.push_back(prefix + name);
        }
    } while (::FindNextFileW(find.get(), &found));
    std::sort(files.begin(), files.end());
    return files;
}

// A service and a running program of an earlier installation, both gone at the end whatever happened.
class EarlierPrograms {
public:
    void Start(const std::wstring& folder) {
        manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_) << ::GetLastError();
        const std::wstring sleeper = WinPathFromEnv(L"VEXO_SLEEPER");
        const std::wstring binary = L"\"" + sleeper + L"\"";
        UniqueServiceHandle service(::CreateServiceW(manager_.get(), Name().c_str(), Name().c_str(), SERVICE_ALL_ACCESS,
                                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                     SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr,
                                                     nullptr, nullptr));
        ASSERT_TRUE(service) << "CreateServiceW " << ::GetLastError();

        const std::wstring exe = folder + kEmulatorFile;
        ASSERT_TRUE(::CopyFileW(sleeper.c_str(), exe.c_str(), FALSE));
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        ASSERT_TRUE(::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                     nullptr, &si, &pi));
        ::CloseHandle(pi.hThread);
        process_.reset(pi.hProcess);
    }
    bool ServiceExists() const {
        const UniqueServiceHandle service(::OpenServiceW(manager_.get(), Name().c_str(), SERVICE_QUERY_STATUS));
        return service.valid();
    }
    bool ProcessRunning() const { return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    ~EarlierPrograms() {
        if (process_ && ProcessRunning()) ::TerminateProcess(process_.get(), 1);
        if (!manager_) return;
        const UniqueServiceHandle service(::OpenServiceW(manager_.get(), Name().c_str(), DELETE));
        if (service) ::DeleteService(service.get());
    }

private:
    static std::wstring Name() { return PreviousServiceName(1, 0); }

    UniqueServiceHandle manager_;
    UniqueHandle process_;
};

TaskBase* MakeSuccessor(HWND window, int32_t) { return new TaskBase(window); }

class DiskSpaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        drive_ = SmallDrive();
        ASSERT_FALSE(drive_.empty()) << "VEXO_SMALL_DRIVE is not set";
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        ::DestroyWindow(window_);
        ::DeleteFileW(PayloadPath().c_str());
        RemoveTree(drive_ + L"\\case");
    }
    static std::wstring PayloadPath() { return ModuleDirectory() + kPayloadFile; }

    // Runs a task for `folder`; true when it posted the disk-space error as its last word.
    bool RunFailsForDiskSpace(const std::wstring& folder, bool* chained) {
        UnZipTask task(window_, MakeSuccessor);
        task.SetInstallPath(folder);
        task.Run();
        *chained = task.next != nullptr;
        delete task.next;
        MSG msg = {}, last = {};
        while (::PeekMessageW(&msg, window_, WM_USER, WM_USER + 100, PM_REMOVE)) last = msg;
        return last.message == WM_DISK_SPACE_ERROR && last.wParam == 0 && last.lParam == -1;
    }

    std::wstring drive_;
    HWND window_ = nullptr;
};

}  // namespace

TEST_F(DiskSpaceTest, SizesRoundUpToWholeClusters) {
    // The same files as sizes.zip: 0, 1, 4096 and 4097 bytes, two of them in nested folders.
    const std::wstring folder = FreshScratch(L"sizes");
    const std::pair<const wchar_t*, uint64_t> files[] = {
        {L"empty", 0}, {L"one", 1}, {L"d\\page", 4096}, {L"d\\e\\page1", 4097}};
    ASSERT_TRUE(::CreateDirectoryW((folder + L"\\d").c_str(), nullptr));
    for (const auto& file : files) ASSERT_NO_FATAL_FAILURE(MakeFile(folder + L"\\" + file.first, file.second));

    const struct {
        uint64_t cluster;
        uint64_t expected;
    } cases[] = {{1, 8194}, {512, 512 + 4096 + 4608}, {4096, 4096 + 4096 + 8192}, {65536, 3 * 65536}};
    for (const auto& c : cases) {
        PayloadCheck payload(DiskData(L"sizes.zip"), folder + L"\\kavix", nullptr);
        payload.Walk(c.cluster);
        EXPECT_TRUE(payload.Sized());
        EXPECT_EQ(payload.NeededBytes(), c.expected) << "cluster " << c.cluster;
        EXPECT_EQ(FilesSize(folder, c.cluster), c.expected) << "cluster " << c.cluster;
    }
    PayloadCheck missing(folder + L"\\missing.zip", folder, nullptr);
    missing.Walk(kCluster);
    EXPECT_FALSE(missing.Sized());
    EXPECT_EQ(FilesSize(folder + L"\\missing", kCluster), 0u);

    // A folder not made yet is on the drive of its nearest existing parent.
    for (const std::wstring& path : {drive_ + L"\\", drive_ + L"\\not\\made\\yet"}) {
        uint64_t freeBytes = 0, cluster = 0;
        ASSERT_TRUE(DriveSpace(path, &freeBytes, &cluster)) << Utf8(path);
        EXPECT_EQ(freeBytes, kDriveBytes);
        EXPECT_EQ(cluster, kCluster);
    }
}

TEST_F(DiskSpaceTest, APayloadTooBigForTheDriveFailsBeforeAnythingIsTouched) {
    const std::wstring product = kProductFolderName;
    const std::vector<std::wstring> installed = {L"ZavozidaDedor.exe", L"assets\\data.bin", L"readme.bin"};
    struct Case {
        const char* label;
        std::wstring folderName;
        std::vector<std::pair<std::wstring, uint64_t>> earlier;  // files already in the folder
        // A service and a running program of an earlier installation, elsewhere: ended when the
        // payload installs, untouched when it fails.
        bool earlierRunning;
        const wchar_t* payload;
        bool installs;
        uint64_t needed;  // what the log must report; 0: nothing
    };
    const Case cases[] = {
        {"fits an empty drive", product, {}, true, L"fits.zip", true, 0},
        {"bigger than the drive", product, {}, false, L"toobig.zip", false, 5 * kMiB},
        {"one-byte files take a cluster each", product, {}, false, L"smallfiles.zip", false, 1100 * kCluster},
        {"sizes count extracted, not compressed", product, {}, false, L"zeros.zip", false, 5 * kMiB},
        {"fits once the earlier installation goes, which goes first", product,
         {{L"ZavozidaDedor.exe", 3 * kMiB / 2}, {L"old\\data.bin", kMiB}}, false, L"fits.zip", true, 3 * kMiB},
        {"the earlier installation survives", product,
         {{L"ZavozidaDedor.exe", kMiB}, {L"old\\data.bin", kMiB / 2}}, true, L"toobig.zip", false, 5 * kMiB},
        {"a folder of the user's own frees nothing", L"Games",
         {{L"save.dat", 3 * kMiB / 2}, {L"mods\\a.bin", kMiB}}, false, L"fits.zip", false, 3 * kMiB},
    };
    // The task logs to g_log, as the installer's tmp.log.
    ASSERT_TRUE(InitLogAt(ModuleDirectory() + L"\\tmp.log")->isOpen);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        RemoveTree(drive_ + L"\\case");
        uint64_t freeBytes = 0, cluster = 0;
        ASSERT_TRUE(DriveSpace(drive_, &freeBytes, &cluster));
        ASSERT_EQ(freeBytes, kDriveBytes) << "the drive is not empty";
        // The window makes the install folder before the task runs.
        const std::wstring folder = drive_ + L"\\case\\" + c.folderName;
        ASSERT_TRUE(::CreateDirectoryW((drive_ + L"\\case").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        std::vector<std::wstring> earlier;
        uint64_t earlierBytes = 0;
        for (const auto& file : c.earlier) {
            ASSERT_NO_FATAL_FAILURE(MakeFile(folder + L"\\" + file.first, file.second));
            earlier.push_back(file.first);
            earlierBytes += file.second;
        }
        std::sort(earlier.begin(), earlier.end());
        EarlierPrograms programs;
        // Its program runs from outside the small drive, which the row's sizes leave no room for.
        if (c.earlierRunning) {
            ASSERT_NO_FATAL_FAILURE(programs.Start(FreshScratch(L"running")));
        }
        ASSERT_TRUE(DriveSpace(drive_, &freeBytes, &cluster));
        g_log->Restart();
        ASSERT_TRUE(::CopyFileW(DiskData(c.payload).c_str(), PayloadPath().c_str(), FALSE));

        bool chained = false;
        const bool failed = RunFailsForDiskSpace(folder, &chained);

        std::string log;
        ASSERT_TRUE(ReadWholeFile(ModuleDirectory() + L"\\tmp.log", &log));
        // A payload that fits beside the earlier installation is not worth a word (fits.zip takes 3 MiB).
        const uint64_t mentioned = c.needed != 0 ? c.needed : 3 * kMiB;
        EXPECT_EQ(log.find(std::to_string(mentioned)) != std::string::npos, c.needed != 0) << log;
        if (c.installs) {
            EXPECT_FALSE(failed);
            EXPECT_TRUE(chained);
            // Beside the payload's files, the list of what the installation made.
            std::vector<std::wstring> withList = installed;
            withList.insert(withList.begin() + 2, kInstallListFile + 1);
            EXPECT_EQ(FilesBelow(folder), withList);
            std::string list;
            ASSERT_TRUE(ReadWholeFile(folder + kInstallListFile, &list));
            EXPECT_EQ(FilesSize(folder, 1) - list.size(), 3 * kMiB);
            if (c.earlierRunning) {
                EXPECT_FALSE(programs.ServiceExists());
                EXPECT_FALSE(programs.ProcessRunning());
            }
            continue;
        }
        EXPECT_TRUE(failed);
        EXPECT_FALSE(chained);
        // Nothing deleted, nothing written.
        EXPECT_TRUE(PathExists(folder));
        EXPECT_EQ(FilesBelow(folder), earlier);
        EXPECT_EQ(FilesSize(folder, 1), earlierBytes);
        EXPECT_NE(log.find(std::to_string(freeBytes)), std::string::npos) << log;
        if (c.earlierRunning) {
            EXPECT_TRUE(programs.ServiceExists());
            EXPECT_TRUE(programs.ProcessRunning());
        }
    }
}

// Another program fills the drive while the new version is written beside the earlier one: the
// extraction fails, and the earlier installation is as it was.
TEST_F(DiskSpaceTest, ADriveFilledDuringTheExtractionLeavesTheEarlierInstallationWhole) {
    const std::wstring folder = drive_ + L"\\case\\" + kProductFolderName;
    ASSERT_TRUE(::CreateDirectoryW((drive_ + L"\\case").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_NO_FATAL_FAILURE(MakeFile(folder + L"\\ZavozidaDedor.exe", kMiB / 2));
    ASSERT_TRUE(::CopyFileW(DiskData(L"fits.zip").c_str(), PayloadPath().c_str(), FALSE));
    const std::wstring filler = drive_ + L"\\case\\filler";

    UnZipTask task(window_, MakeSuccessor);
    task.SetInstallPath(folder);
    // In turn, so the drive is full before the next entry is written.
    task.closerThreads = 0;
    task.beforeClose = [&](uint32_t entry) {
        if (entry != 0) return true;
        UniqueFile file(::CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        const std::string chunk(64 * 1024, 'o');
        DWORD written = 0;
        while (file && ::WriteFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) &&
               written == chunk.size()) {
        }
        return true;
    };
    task.Run();

    EXPECT_EQ(task.next, nullptr);
    EXPECT_EQ(FilesBelow(folder), std::vector<std::wstring>{L"ZavozidaDedor.exe"});
    EXPECT_EQ(FilesSize(folder, 1), kMiB / 2);
    EXPECT_EQ(FilesBelow(drive_ + L"\\case"), (std::vector<std::wstring>{L"filler", L"kavix\\ZavozidaDedor.exe"}));
}
