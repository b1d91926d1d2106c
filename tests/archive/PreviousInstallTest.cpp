#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "archive/FilesAside.h"
#include "archive/PreviousInstall.h"
#include "tasks/TaskBase.h"

namespace {

void MakeFile(const std::wstring& path);

void RunCleanup(const std::wstring& installPath) {
    TaskBase task(nullptr);
    task.SetInstallPath(installPath);
    CleanPreviousInstall(task);
}

void MakeFile(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << "cannot create test file";
    DWORD written = 0;
    WriteFile(file.get(), "data", 4, &written, nullptr);
}

TEST(PreviousInstall, ServiceNamesFollowTheSlotWidth) {
    EXPECT_EQ(PreviousServiceName(1, 0), L"Vexo_090801_VaDerizavUve");
    EXPECT_EQ(PreviousServiceName(1, 1), L"Vexo_222701_VaDerizavUve");
    EXPECT_EQ(PreviousServiceName(10, 0), L"Vexo_09080010_VaDerizavUve");
    EXPECT_EQ(PreviousServiceName(10, 1), L"Vexo_22270010_VaDerizavUve");
    EXPECT_EQ(PreviousServiceName(16, 0), L"");
    EXPECT_EQ(PreviousServiceName(5, 2), L"");
}

class ServiceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager_) << GetLastError();
        for (const auto& name : AllNames()) Delete(name);  // leftovers of an aborted run
    }
    void TearDown() override {
        if (manager_)
            for (const auto& name : AllNames()) Delete(name);
    }

    static std::vector<std::wstring> Removed() {
        return {L"Vexo_090801_VaDerizavUve", L"Vexo_222709_VaDerizavUve", L"Vexo_09080010_VaDerizavUve",
                L"Vexo_22270015_VaDerizavUve"};
    }
    // Slot 16, and a one-digit slot under the two-digit prefix.
    static std::vector<std::wstring> Kept() { return {L"Vexo_09080016_VaDerizavUve", L"Vexo_0908001_VaDerizavUve"}; }
    static std::vector<std::wstring> AllNames() {
        auto all = Removed();
        for (const auto& name : Kept()) all.push_back(name);
        return all;
    }

    void Create(const std::wstring& name) {
        const std::wstring binary = L"\"" + ModuleDirectory() + L"\\cleanup_sleeper.exe\"";
        UniqueServiceHandle service(CreateServiceW(
            manager_.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << "CreateServiceW " << GetLastError();
    }
    bool Exists(const std::wstring& name) {
        UniqueServiceHandle service(OpenServiceW(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS));
        return service.valid();
    }
    void Delete(const std::wstring& name) {
        UniqueServiceHandle service(OpenServiceW(manager_.get(), name.c_str(), DELETE));
        if (service) DeleteService(service.get());
    }

    UniqueServiceHandle manager_;
};

TEST_F(ServiceFixture, EarlierServicesAreDeletedOthersKept) {
    for (const auto& name : AllNames()) ASSERT_NO_FATAL_FAILURE(Create(name));

    RunCleanup(FreshScratch(L"services") + L"\\kavix");

    for (const auto& name : Removed()) EXPECT_FALSE(Exists(name)) << std::string(name.begin(), name.end());
    for (const auto& name : Kept()) EXPECT_TRUE(Exists(name)) << std::string(name.begin(), name.end());
}

// Copies of the sleeper under the given names, each in a folder of its own (names differing only in
// case are one file), started without a console: a console host would outlive the test and hold
// its output open.
class ProcessFixture : public ::testing::Test {
protected:
    HANDLE Start(const std::wstring& dir, const std::wstring& name) {
        const std::wstring folder = dir + L"\\" + std::to_wstring(children_.size());
        CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring exe = folder + L"\\" + name;
        if (!CopyFileW((ModuleDirectory() + L"\\cleanup_sleeper.exe").c_str(), exe.c_str(), FALSE)) return nullptr;
        std::wstring commandLine = L"\"" + exe + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                            &si, &pi))
            return nullptr;
        CloseHandle(pi.hThread);
        children_.emplace_back(pi.hProcess);
        return pi.hProcess;
    }
    void TearDown() override {
        for (auto& child : children_)
            if (WaitForSingleObject(child.get(), 0) == WAIT_TIMEOUT) TerminateProcess(child.get(), 1);
    }

    std::vector<UniqueHandle> children_;
};

TEST_F(ProcessFixture, MatchingProcessesEndWithCode9ButNotThisOne) {
    // The exe is named for the product so that sparing ourselves is really tested.
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_NE(std::wstring(path).find(L"kavix"), std::wstring::npos);

    const std::wstring dir = FreshScratch(L"processes");
    const std::vector<std::wstring> ended = {L"aZavozidaDedorB.exe", L"ZavozidaDedor.exe", L"kavix_helper.exe"};
    const std::vector<std::wstring> kept = {L"zavozidadedor.exe", L"Kavix.exe"};
    std::vector<HANDLE> endedHandles, keptHandles;
    for (const auto& name : ended) endedHandles.push_back(Start(dir, name));
    for (const auto& name : kept) keptHandles.push_back(Start(dir, name));
    for (HANDLE h : endedHandles) ASSERT_NE(h, nullptr);
    for (HANDLE h : keptHandles) ASSERT_NE(h, nullptr);

    RunCleanup(dir + L"\\kavix");

    // Already gone when the cleanup returns, so their files can be deleted next.
    for (size_t i = 0; i < ended.size(); ++i) {
        SCOPED_TRACE(std::string(ended[i].begin(), ended[i].end()));
        ASSERT_EQ(WaitForSingleObject(endedHandles[i], 0), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(endedHandles[i], &code);
        EXPECT_EQ(code, 9u);
    }
    for (HANDLE h : keptHandles) EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(PreviousInstall, ProductFolderGoesWhole) {
    const std::wstring folder = FreshScratch(L"product") + L"\\kavix";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\assets").c_str(), nullptr));
    MakeFile(folder + L"\\assets\\old.dat");
    MakeFile(folder + L"\\user notes.txt");

    RunCleanup(folder);

    EXPECT_FALSE(PathExists(folder));
}

// The files of an earlier installation in a folder of the user's go aside, and with them once the new
// version is whole: without a list of that installation's, only those at the payload's names.
TEST(PreviousInstall, UserFolderLosesOnlyThePayloadsNames) {
    const std::wstring parent = FreshScratch(L"user");
    const std::wstring folder = parent + L"\\MyGames";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::vector<std::wstring> unrelated = {L"save.dat", L"Mods", L"Mods\\a.txt"};
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\Mods").c_str(), nullptr));
    MakeFile(folder + L"\\save.dat");
    MakeFile(folder + L"\\Mods\\a.txt");
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\assets").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\assets\\software").c_str(), nullptr));
    MakeFile(folder + L"\\assets\\software\\vc.exe");
    MakeFile(folder + L"\\ZavozidaDedor.exe");
    MakeFile(folder + L"\\readme.txt");
    MakeFile(parent + L"\\evil");  // what "../evil" would reach

    // Without a payload nothing is known to be ours.
    const auto replace = [&](const std::wstring& payload) {
        FilesAside aside(folder, payload);
        ASSERT_TRUE(aside.Begin(0));
        aside.Commit();
    };
    replace(parent + L"\\missing.zip");
    EXPECT_TRUE(PathExists(folder + L"\\ZavozidaDedor.exe"));
    EXPECT_TRUE(PathExists(folder + L"\\assets\\software\\vc.exe"));

    replace(ModuleDirectory() + kPayloadFile);

    EXPECT_FALSE(PathExists(folder + L"\\ZavozidaDedor.exe"));
    EXPECT_FALSE(PathExists(folder + L"\\assets"));
    EXPECT_FALSE(PathExists(folder + L"\\readme.txt"));
    for (const auto& name : unrelated) EXPECT_TRUE(PathExists(folder + L"\\" + name)) << "lost an unrelated file";
    EXPECT_TRUE(PathExists(parent + L"\\evil"));
}

}  // namespace
