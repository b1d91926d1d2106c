// The unzip task under Wine: "platform.zip" is placed beside this test program, as beside the
// installer, and the task runs against scratch install folders.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "ArchiveTestUtil.h"
#include "TestFiles.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "archive/FolderRemoval.h"
#include "archive/FolderSwap.h"
#include "archive/UnZipTask.h"
#include "tasks/InstallMessages.h"

namespace {

struct Successor : TaskBase {
    explicit Successor(HWND window) : TaskBase(window) {}
    int32_t progressBase = 0;
};

TaskBase* MakeSuccessor(HWND window, int32_t progressBase) {
    auto* task = new Successor(window);
    task->progressBase = progressBase;
    return task;
}

// This process's handles, by trying each value: Wine's GetProcessHandleCount says 0. Handles are
// numbered from 4 up, the lowest free value first, so a long run of free values ends them.
size_t OpenHandles() {
    size_t open = 0;
    DWORD flags = 0;
    for (uintptr_t value = 4, free = 0; free < 64; value += 4) {
        const bool valid = ::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags);
        open += valid ? 1 : 0;
        free = valid ? 0 : free + 1;
    }
    return open;
}

class UnZipTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = FreshScratch(std::wstring(name.begin(), name.end()));
    }
    void TearDown() override {
        ::DestroyWindow(window_);
        ::DeleteFileW(PayloadPath().c_str());
    }
    static std::wstring PayloadPath() { return ModuleDirectory() + L"\\platform.zip"; }
    void UsePayload(const wchar_t* fixture) {
        ASSERT_TRUE(::CopyFileW((WinPathFromEnv(L"VEXO_UNZIPDATA") + L"\\" + fixture).c_str(), PayloadPath().c_str(),
                                FALSE));
    }
    // Runs a task for `folder` and returns what it posted to the window.
    std::vector<MSG> Run(const std::wstring& folder) {
        UnZipTask task(window_, MakeSuccessor);
        task.progressBase = 30;
        task.SetInstallPath(folder);
        task.Run();
        next_ = static_cast<Successor*>(task.next);
        std::vector<MSG> posted;
        MSG msg;
        while (::PeekMessageW(&msg, window_, WM_USER, WM_USER + 100, PM_REMOVE)) posted.push_back(msg);
        return posted;
    }
    static std::vector<int> Progress(const std::vector<MSG>& posted) {
        std::vector<int> values;
        for (const MSG& m : posted) {
            if (m.message == WM_INSTALL_PROGRESS) {
                EXPECT_EQ(m.lParam, kProgressPlain);
                values.push_back(static_cast<int>(m.wParam));
            }
        }
        return values;
    }
    static bool DiskSpaceError(const std::vector<MSG>& posted) {
        return !posted.empty() && posted.back().message == WM_DISK_SPACE_ERROR && posted.back().wParam == 0 &&
               posted.back().lParam == -1;
    }

    HWND window_ = nullptr;
    std::wstring root_;
    Successor* next_ = nullptr;
};

}  // namespace

TEST_F(UnZipTaskTest, ProgressGrowsByFiveEveryTenEntriesAndIsHandedOn) {
    struct Case {
        const wchar_t* fixture;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {L"n1.zip", {35}},
        {L"n10.zip", {35}},
        {L"n11.zip", {35, 40}},
        {L"n25.zip", {35, 40, 45}},
        {L"n100.zip", {35, 40, 45, 50, 55, 60, 65, 70, 75, 80}},
    };
    for (const Case& c : cases) {
        UsePayload(c.fixture);
        const std::wstring folder = root_ + L"\\kavix";
        const auto posted = Run(folder);
        EXPECT_EQ(Progress(posted), c.expected) << c.fixture;
        EXPECT_FALSE(DiskSpaceError(posted));
        ASSERT_NE(next_, nullptr);
        EXPECT_EQ(next_->progressBase, c.expected.back());
        EXPECT_EQ(next_->installPath, folder);
        EXPECT_EQ(next_->runtimePackageSha256, "");  // none in these payloads
        EXPECT_TRUE(PathExists(folder + L"\\f0.txt"));
    }
}

// What it made is listed last, folders first; a list that cannot be written is logged and the
// installation goes on. The runtime package's digest, as the payload holds it, goes to the tasks
// that follow, whichever way the folder is replaced.
TEST_F(UnZipTaskTest, ExtractsThePayloadWithItsFoldersAndListsWhatItMade) {
    UsePayload(L"payload.zip");
    ASSERT_NE(InitLogAt(root_ + L"\\tmp.log"), nullptr);
    const std::pair<const wchar_t*, bool> folders[] = {{L"\\Games", false}, {L"\\Blocked", true}, {L"\\kavix", false}};
    for (const auto& [name, listBlocked] : folders) {
        SCOPED_TRACE(Utf8(name));
        const std::wstring folder = root_ + name;
        ::CreateDirectoryW(folder.c_str(), nullptr);
        const std::wstring list = folder + kInstallListFile;
        if (listBlocked) {
            ASSERT_TRUE(::CreateDirectoryW(list.c_str(), nullptr));
        }
        Run(folder);
        ASSERT_NE(next_, nullptr);
        EXPECT_EQ(next_->runtimePackageSha256, Sha256OfFile(folder + kRuntimePackageFile));
        delete next_;
        std::string data;
        ASSERT_TRUE(ReadWholeFile(folder + L"\\assets\\software\\vc.exe", &data));
        EXPECT_EQ(data, "runtime");
        ASSERT_TRUE(ReadWholeFile(folder + L"\\readme.txt", &data));
        EXPECT_EQ(data.size(), 600u);
        if (listBlocked) {
            std::string log;
            ASSERT_TRUE(ReadWholeFile(root_ + L"\\tmp.log", &log));
            EXPECT_NE(log.find("[ERROR] CreateFileW failed for " + ToUserAnsi(list) + ", error "), std::string::npos)
                << log;
        } else {
            ASSERT_TRUE(ReadWholeFile(list, &data));
            EXPECT_EQ(data, std::string(kInstallListHeader) + "\r\nassets\\\r\nassets\\software\\\r\nZavozidaDedor.exe\r\nassets\\software\\vc.exe\r\n"
                            "readme.txt\r\n");
        }
    }
}

// However little memory it may keep paths in, the task makes, lists and on failure takes back the
// same: what it forgets it asks of the file system, and reads back from the archive a path at a time.
TEST_F(UnZipTaskTest, WhatItMadeIsListedOrTakenBackWhateverMemoryItMayUse) {
    struct Case {
        const wchar_t* fixture;
        size_t memory;
    };
    const Case cases[] = {
        {L"nested.zip", UnZipTask(nullptr).pathMemoryBytes},
        {L"nested.zip", 1},
        {L"nested_badcrc.zip", UnZipTask(nullptr).pathMemoryBytes},
        {L"nested_badcrc.zip", 1},
    };
    int row = 0;
    for (const Case& c : cases) {
        const bool fails = std::wstring(c.fixture).find(L"bad") != std::wstring::npos;
        SCOPED_TRACE(Utf8(c.fixture) + ", " + std::to_string(c.memory) + " bytes");
        UsePayload(c.fixture);
        const std::wstring folder = root_ + L"\\Games" + std::to_wstring(row++);
        for (const std::wstring& made : {folder, folder + L"\\saves"})
            ASSERT_TRUE(::CreateDirectoryW(made.c_str(), nullptr));
        for (const std::wstring& own : {folder + L"\\notes.txt", folder + L"\\saves\\slot.dat"}) {
            UniqueFile file(::CreateFileW(own.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
            ASSERT_TRUE(file);
        }

        UnZipTask task(window_, MakeSuccessor);
        task.progressBase = 30;
        task.pathMemoryBytes = c.memory;
        task.SetInstallPath(folder);
        task.Run();
        EXPECT_EQ(task.next == nullptr, fails);
        delete task.next;

        std::string data;
        if (fails) {
            for (const wchar_t* made : {L"\\A", L"\\C", L"\\top.exe", L"\\last.txt", L"\\zz.txt", kInstallListFile})
                EXPECT_FALSE(PathExists(folder + made)) << Utf8(made);
        } else {
            ASSERT_TRUE(ReadWholeFile(folder + L"\\C\\three.txt", &data));
            EXPECT_EQ(data, "three again");
            ASSERT_TRUE(ReadWholeFile(folder + L"\\A\\FIVE.txt", &data));
            EXPECT_EQ(data, "five");
            ASSERT_TRUE(ReadWholeFile(folder + kInstallListFile, &data));
            EXPECT_EQ(data, std::string(kInstallListHeader) + "\r\nA\\\r\nA\\B\\\r\nC\\\r\nA\\B\\C\\\r\ntop.exe\r\nA\\one.txt\r\nA\\B\\two.txt\r\n"
                            "C\\three.txt\r\nA\\four.txt\r\na\\FIVE.txt\r\nC\\three.txt\r\nA\\B\\C\\six.txt\r\n"
                            "last.txt\r\n");
        }
        EXPECT_TRUE(PathExists(folder + L"\\notes.txt"));
        EXPECT_TRUE(PathExists(folder + L"\\saves\\slot.dat"));
    }
}

TEST_F(UnZipTaskTest, EveryFailureRemovesTheProductFolderAndReportsAFullDisk) {
    const wchar_t* fixtures[] = {nullptr, L"empty.zip", L"badcrc.zip", L"subfirst.zip"};
    for (const wchar_t* fixture : fixtures) {
        if (fixture != nullptr) UsePayload(fixture);
        else ::DeleteFileW(PayloadPath().c_str());
        const std::wstring folder = root_ + L"\\kavix";
        ::CreateDirectoryW(folder.c_str(), nullptr);
        const auto posted = Run(folder);
        const std::wstring label = fixture ? fixture : L"missing";
        EXPECT_TRUE(DiskSpaceError(posted)) << std::string(label.begin(), label.end());
        EXPECT_EQ(next_, nullptr);
        EXPECT_FALSE(PathExists(folder)) << std::string(label.begin(), label.end());
    }
}

TEST_F(UnZipTaskTest, ATargetInUseFailsTheTaskAndOnlyThisRunsFilesGo) {
    UsePayload(L"payload.zip");
    const std::wstring folder = root_ + L"\\Games";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring unrelated = folder + L"\\notes.txt";
    const std::wstring busy = folder + L"\\readme.txt";
    for (const std::wstring& path : {unrelated, busy}) {
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(h, "mine", 4, &written, nullptr);
        ::CloseHandle(h);
    }
    // Held open without sharing: it can be neither deleted nor replaced.
    HANDLE held = ::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto posted = Run(folder);
    ::CloseHandle(held);

    EXPECT_TRUE(DiskSpaceError(posted));
    EXPECT_EQ(next_, nullptr);
    std::string data;
    EXPECT_TRUE(ReadWholeFile(busy, &data));
    EXPECT_EQ(data, "mine");  // not replaced, not removed
    EXPECT_TRUE(PathExists(unrelated));
    EXPECT_FALSE(PathExists(folder + L"\\ZavozidaDedor.exe"));  // written by this run: removed
    EXPECT_FALSE(PathExists(folder + L"\\assets"));
}

TEST_F(UnZipTaskTest, NamesLeavingTheInstallFolderFailTheArchiveAndWriteNothingOutside) {
    const wchar_t* fixtures[] = {L"trav_dotdot.zip", L"trav_deep.zip", L"trav_absolute.zip", L"trav_backslash.zip",
                                 L"trav_drive.zip",  L"trav_unc.zip",  L"trav_dots.zip",     L"trav_aux.zip",
                                 L"trav_nul.zip",    L"trav_devfolder.zip"};
    for (const wchar_t* fixture : fixtures) {
        UsePayload(fixture);
        const std::wstring outer = root_ + L"\\outer";
        RemoveTree(outer);
        ::CreateDirectoryW(outer.c_str(), nullptr);
        const std::wstring folder = outer + L"\\kavix";
        const auto posted = Run(folder);
        const std::string label(fixture, fixture + wcslen(fixture));
        EXPECT_TRUE(DiskSpaceError(posted)) << label;
        EXPECT_FALSE(PathExists(outer + L"\\escape.txt")) << label;
        EXPECT_FALSE(PathExists(L"C:\\escape.txt")) << label;
        EXPECT_FALSE(PathExists(L"Z:\\escape.txt")) << label;
        EXPECT_FALSE(PathExists(folder)) << label;
    }
    EXPECT_TRUE(IsSafeEntryName(L"a/b/c.txt"));
    EXPECT_TRUE(IsSafeEntryName(L"dir/"));
    EXPECT_TRUE(IsSafeEntryName(L"a..b/c..txt"));
}

TEST_F(UnZipTaskTest, AFolderOfTheUsersOwnKeepsItsFilesAfterAFailure) {
    UsePayload(L"badcrc.zip");
    // Without an earlier installation's list, and with one that does not name the user's own file
    // at a payload's name: that file comes back too.
    for (const bool listed : {false, true}) {
        SCOPED_TRACE(listed);
        const std::wstring folder = root_ + (listed ? L"\\MyListedGames" : L"\\MyGames");
        ::CreateDirectoryW(folder.c_str(), nullptr);
        ::CreateDirectoryW((folder + L"\\saves").c_str(), nullptr);
        ASSERT_TRUE(WriteWholeFile(folder + L"\\saves\\slot1.dat", ""));
        if (listed) {
            ASSERT_TRUE(WriteWholeFile(folder + L"\\first.txt", "mine"));
            ASSERT_TRUE(WriteWholeFile(folder + L"\\old.txt", "old"));
            ASSERT_TRUE(WriteWholeFile(folder + kInstallListFile, std::string(kInstallListHeader) + "\r\nold.txt\r\n"));
        }
        const auto posted = Run(folder);
        EXPECT_TRUE(DiskSpaceError(posted));
        EXPECT_TRUE(PathExists(folder + L"\\saves\\slot1.dat"));
        std::string data;
        EXPECT_EQ(ReadWholeFile(folder + L"\\first.txt", &data) ? data : "(none)", listed ? "mine" : "(none)");
        EXPECT_EQ(ReadWholeFile(folder + L"\\old.txt", &data) ? data : "(none)", listed ? "old" : "(none)");
        EXPECT_FALSE(PathExists(folder + L"\\second.txt"));  // made by this run: removed
        EXPECT_EQ(PathExists(folder + kInstallListFile), listed);  // only a whole extraction writes one
    }
}

// The short (8.3) alias the file system gives `name` in `folder`, or the name itself where it makes
// none. Wine makes its own kind ("LONG~ABC.TXT"), and opens the long name by it, as Windows does.
std::string ShortAlias(const std::wstring& folder, const std::wstring& name) {
    const std::wstring path = folder + L"\\" + name;
    UniqueFile(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)).reset();
    wchar_t alias[MAX_PATH] = {};
    const DWORD length = ::GetShortPathNameW(path.c_str(), alias, MAX_PATH);
    ::DeleteFileW(path.c_str());
    const std::wstring shortPath = length > 0 && length < MAX_PATH ? alias : path;
    return Utf8(shortPath.substr(shortPath.rfind(L'\\') + 1));
}

// Files closed behind the extraction change nothing but the time: the same outcome, progress and
// tree, and the same removal, when a file fails only as it is closed (progress already owed past
// it), a file in use stops the run half way, or a later entry replaces an earlier one still being
// closed, under the same name in Windows' eyes (another case, a trailing dot, a short alias). No
// handle stays open. Closes take a little while, in no order, as under a scanner.
TEST_F(UnZipTaskTest, ClosingBehindTheExtractionChangesNothingButTheTime) {
    struct Case {
        const wchar_t* fixture;  // or null, for a payload of `entries`
        int failingClose;        // entry whose close fails, or -1
        const wchar_t* heldOpen;  // a file of the user's in the way, or null
        bool usersFolder;
        std::vector<std::string> entries = {};
    };
    const std::string alias = ShortAlias(root_, L"longername.txt");
    const Case cases[] = {
        {L"n100.zip", -1, nullptr, false},   {L"n100.zip", 37, nullptr, false}, {L"n100.zip", 0, nullptr, true},
        {L"nested.zip", -1, nullptr, true},  {L"nested.zip", 8, nullptr, true}, {L"payload.zip", -1, L"readme.txt", true},
        {L"nested_badcrc.zip", -1, nullptr, true},
        // The file named again is the one closed slowest: two entries in, it waits 2 ms.
        {nullptr, -1, nullptr, false, {"a.txt", "b.txt", "longername.txt", alias}},
        {nullptr, -1, nullptr, true, {"d/", "d/a.txt", "d/longername.txt", "d/" + alias}},
        {nullptr, -1, nullptr, false, {"a.txt", "b.txt", "Case.txt", "CASE.TXT"}},
        {nullptr, -1, nullptr, false, {"a.txt", "b.txt", "dots.txt", "dots.txt. "}},
    };
    ASSERT_NE(InitLogAt(root_ + L"\\tmp.log"), nullptr);
    for (const Case& c : cases) {
        const std::string payload = c.fixture != nullptr ? Utf8(c.fixture) : c.entries.back();
        SCOPED_TRACE(payload + ", close of " + std::to_string(c.failingClose) + " fails");
        if (c.fixture != nullptr) {
            UsePayload(c.fixture);
        } else {
            const std::string zip = StoredZip(c.entries);
            UniqueFile file(::CreateFileW(PayloadPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            ASSERT_TRUE(file && ::WriteFile(file.get(), zip.data(), static_cast<DWORD>(zip.size()), &written, nullptr));
        }
        const std::wstring folder = root_ + (c.usersFolder ? L"\\Games" : L"\\kavix");
        struct Outcome {
            bool succeeded;
            std::vector<int> progress;
            bool diskSpaceError;
            Listing tree;
        } outcomes[2];
        for (const unsigned threads : {0u, 4u}) {
            RemoveTree(folder);
            if (c.usersFolder) {
                ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
                UniqueFile own(::CreateFileW((folder + L"\\notes.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                                             nullptr));
                ASSERT_TRUE(own);
            }
            UniqueFile held;
            if (c.heldOpen != nullptr) {
                held.reset(::CreateFileW((folder + L"\\" + c.heldOpen).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         0, nullptr));
                ASSERT_TRUE(held);
            }
            const size_t handlesBefore = OpenHandles();
            ASSERT_GT(handlesBefore, 0u);

            UnZipTask task(window_, MakeSuccessor);
            task.progressBase = 30;
            task.closerThreads = threads;
            task.beforeClose = [&c](uint32_t entry) {
                ::Sleep(entry % 3);
                ::SetLastError(ERROR_DISK_FULL);
                return static_cast<int>(entry) != c.failingClose;
            };
            task.SetInstallPath(folder);
            task.Run();

            EXPECT_EQ(OpenHandles(), handlesBefore) << threads << " closers";
            held.reset();
            Outcome& outcome = outcomes[threads == 0 ? 0 : 1];
            outcome.succeeded = task.next != nullptr;
            delete task.next;
            std::vector<MSG> posted;
            MSG msg;
            while (::PeekMessageW(&msg, window_, WM_USER, WM_USER + 100, PM_REMOVE)) posted.push_back(msg);
            outcome.progress = Progress(posted);
            outcome.diskSpaceError = DiskSpaceError(posted);
            List(root_, root_ + L"\\tmp.log", &outcome.tree);
            // Folders, the list and the user's file carry the time this run made them.
            for (auto& [path, seen] : outcome.tree) seen.written = 0;
        }
        EXPECT_EQ(outcomes[1].succeeded, outcomes[0].succeeded);
        EXPECT_EQ(outcomes[1].progress, outcomes[0].progress);
        EXPECT_EQ(outcomes[1].diskSpaceError, outcomes[0].diskSpaceError);
        EXPECT_EQ(Difference(outcomes[0].tree, outcomes[1].tree), "");
        EXPECT_EQ(outcomes[0].succeeded, c.failingClose < 0 && c.heldOpen == nullptr && payload.find("bad") == payload.npos);
    }
    // A failed close is logged with its file.
    std::string log;
    ASSERT_TRUE(ReadWholeFile(root_ + L"\\tmp.log", &log));
    // The product's new version is made beside its folder.
    EXPECT_NE(log.find("CloseHandle failed for " + ToUserAnsi(NewFolderOf(root_ + L"\\kavix")) + "\\f37.txt, error 112"),
              std::string::npos)
        << log;
}
