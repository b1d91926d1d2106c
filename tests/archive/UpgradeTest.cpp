// Upgrades: in the product's folder the new version is made beside the earlier one and swapped in;
// in a folder of the user's the earlier installation's files are moved aside meanwhile. Whatever
// stops a run, the next start leaves the install folder holding one whole version and nothing of
// the run. upgrade_probe (beside this program) is the run that is killed.

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "ArchiveTestUtil.h"
#include "archive/FilesAside.h"
#include "archive/FolderSwap.h"
#include "archive/UnZipTask.h"
#include "archive/Unfinished.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "tasks/InstallMessages.h"

namespace {

// What a folder holds, by path below it: each file's contents, each folder.
using Contents = std::map<std::wstring, uint64_t>;

Contents ContentsOf(const std::wstring& folder) {
    Listing listing;
    List(folder, L"", &listing);
    Contents contents;
    for (const auto& [path, seen] : listing)
        contents[path.substr(folder.size())] = (seen.attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : seen.digest;
    return contents;
}

bool Recorded(const std::wstring& folder) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUnfinishedSwapsKey, 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS)
        return false;
    return ::RegQueryValueExW(key.get(), folder.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

TaskBase* MakeSuccessor(HWND window, int32_t) { return new TaskBase(window); }

class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        ASSERT_TRUE(InitLogAt(ModuleDirectory() + L"\\tmp.log")->isOpen);
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = FreshScratch(std::wstring(name.begin(), name.end()));
        ASSERT_TRUE(Install(L"upgrade_new.zip", root_ + L"\\reference\\kavix"));
        newContents_ = ContentsOf(root_ + L"\\reference\\kavix");
    }
    void TearDown() override {
        ::DestroyWindow(window_);
        ::DeleteFileW(PayloadPath().c_str());
    }
    static std::wstring PayloadPath() { return ModuleDirectory() + kPayloadFile; }
    static void UsePayload(const wchar_t* fixture) {
        ASSERT_TRUE(::CopyFileW((WinPathFromEnv(L"VEXO_UNZIPDATA") + L"\\" + fixture).c_str(), PayloadPath().c_str(),
                                FALSE));
    }
    // Installs a fixture into `folder` (made first, as the window does); true when the task chained.
    bool Install(const wchar_t* fixture, const std::wstring& folder, DWORD heldWaitMs = 5000) {
        UsePayload(fixture);
        ::CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr);
        ::CreateDirectoryW(folder.c_str(), nullptr);
        UnZipTask task(window_, MakeSuccessor);
        task.heldWaitMs = heldWaitMs;
        task.SetInstallPath(folder);
        task.Run();
        const bool chained = task.next != nullptr;
        delete task.next;
        MSG msg;
        while (::PeekMessageW(&msg, window_, WM_USER, WM_USER + 100, PM_REMOVE)) {
        }
        return chained;
    }
    // The earlier version in the install folder `name`, nothing beside it; a folder of the user's
    // holds a file of the user's own too.
    void InstallEarlier(const std::wstring& name) {
        folder_ = root_ + L"\\" + name;
        for (const std::wstring& path : {folder_, NewFolderOf(folder_), AsideFolderOf(folder_)}) RemoveTree(path);
        ASSERT_TRUE(Install(L"upgrade_old.zip", folder_));
        if (name != kProductFolderName) {
            ASSERT_TRUE(::CopyFileW(PayloadPath().c_str(), (folder_ + L"\\my save.zip").c_str(), FALSE));
            newContents_[L"\\my save.zip"] = ContentsOf(folder_)[L"\\my save.zip"];
        }
        oldContents_ = ContentsOf(folder_);
        ASSERT_NE(oldContents_, newContents_);
    }
    DWORD RunProbe(const std::string& moment) {
        const std::wstring probe = ModuleDirectory() + L"\\upgrade_probe.exe";
        std::wstring line = L"\"" + probe + L"\" \"" + folder_ + L"\" " + std::wstring(moment.begin(), moment.end());
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!::CreateProcessW(probe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return ::GetLastError();
        ::CloseHandle(pi.hThread);
        const UniqueHandle process(pi.hProcess);
        ::WaitForSingleObject(process.get(), 60000);
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        return code;
    }
    // Nothing of a run is left beside the install folder, nor in the record.
    void ExpectNothingBeside() {
        EXPECT_FALSE(PathExists(FilesAsideFolderOf(folder_)));
        EXPECT_FALSE(PathExists(NewFolderOf(folder_)));
        EXPECT_FALSE(PathExists(AsideFolderOf(folder_)));
        EXPECT_FALSE(Recorded(folder_));
    }

    HWND window_ = nullptr;
    std::wstring root_, folder_;
    Contents oldContents_, newContents_;
};

}  // namespace

TEST_F(UpgradeTest, AnInterruptedUpgradeLeavesOneWholeVersionAndTheNextStartNothingElse) {
    const std::wstring product = kProductFolderName, users = L"Games";
    struct Row {
        const std::wstring& folder;
        const char* moment;
        bool newInPlace;  // the version the install folder holds once the next start has run
    };
    const Row rows[] = {
        {product, "entry:0", false}, {product, "entry:30", false}, {product, "whole", false},
        {product, "aside", false},   {product, "aside-undone", false}, {product, "in-place", true},
        {product, "never", true},
        {users, "entry:0", false},   {users, "entry:30", false},   {users, "never", true},
    };
    // A record whose folders are gone is forgotten by the next start.
    RecordUnfinished(root_ + L"\\gone\\kavix");
    ClearUnfinishedSwaps();
    EXPECT_FALSE(Recorded(root_ + L"\\gone\\kavix"));
    for (const Row& row : rows) {
        SCOPED_TRACE(Utf8(row.folder) + " " + row.moment);
        ASSERT_NO_FATAL_FAILURE(InstallEarlier(row.folder));
        UsePayload(L"upgrade_new.zip");
        const bool killed = std::string(row.moment) != "never";
        EXPECT_EQ(RunProbe(row.moment), killed ? 99u : 0u);
        const Contents& expected = row.newInPlace ? newContents_ : oldContents_;
        // Between the two renames the product's folder is missing; at any other moment it is whole.
        // A folder of the user's holds a part of the new version until the next start.
        if (std::string(row.moment) != "aside" && (row.folder == product || !killed)) {
            EXPECT_EQ(ContentsOf(folder_), expected);
        }
        if (killed) {
            EXPECT_TRUE(Recorded(folder_));
        }

        ClearUnfinishedSwaps();
        EXPECT_EQ(ContentsOf(folder_), expected);
        ExpectNothingBeside();
    }
}

TEST_F(UpgradeTest, AFileHeldOpenKeepsTheEarlierInstallationWholeAndIsNamed) {
    for (const std::wstring& name : {std::wstring(kProductFolderName), std::wstring(L"Games")}) {
        SCOPED_TRACE(Utf8(name));
        ASSERT_NO_FATAL_FAILURE(InstallEarlier(name));
        const std::wstring heldPath = folder_ + L"\\assets\\kept\\f3.dat";
        // Another program reading it, sharing reading only.
        const UniqueFile held(
            ::CreateFileW(heldPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        g_log->Restart();

        EXPECT_FALSE(Install(L"upgrade_new.zip", folder_, 300));

        EXPECT_EQ(ContentsOf(folder_), oldContents_);
        ExpectNothingBeside();
        std::string log;
        ASSERT_TRUE(ReadWholeFile(ModuleDirectory() + L"\\tmp.log", &log));
        EXPECT_NE(log.find(Utf8(heldPath)), std::string::npos) << log;
    }
}
