// Hostile entry names in the payload: what the unzip task refuses, what it extracts and where, and
// that nothing outside the install folder and nothing of the user's own ever changes. The archives
// are written here, as raw bytes; the links of the last test come from the fixture script, since
// only the Unix side can make them under Wine.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ArchiveTestUtil.h"
#include "TestFiles.h"
#include "archive/FilesAside.h"
#include "archive/FolderRemoval.h"
#include "archive/PreviousInstall.h"
#include "archive/UnZipTask.h"
#include "archive/Unfinished.h"
#include "base/FileInFolder.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "tasks/InstallMessages.h"

namespace {

// In the "\\?\" form a name like "nul.txt" is the file of that name, never the device.
std::wstring Literal(const std::wstring& path) { return L"\\\\?\\" + path; }

void WriteFile(const std::wstring& path, const std::string& data) {
    UniqueFile file(::CreateFileW(Literal(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr))
        << Utf8(path);
}

// Writes a file, making the folders on its way.
void Plant(const std::wstring& folder, const std::wstring& relative, const std::string& data) {
    for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos; slash = relative.find(L'\\', slash + 1))
        ::CreateDirectoryW(Literal(folder + L"\\" + relative.substr(0, slash)).c_str(), nullptr);
    WriteFile(folder + L"\\" + relative, data);
}

// The names in a folder, sorted; with `deep`, every file below it instead, by relative path.
std::vector<std::wstring> Listing(const std::wstring& folder, bool deep, const std::wstring& prefix = L"") {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    UniqueFind find(::FindFirstFileW(Literal(folder + L"\\*").c_str(), &found));
    if (!find) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (!deep || !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            names.push_back(prefix + name);
            continue;
        }
        for (auto& below : Listing(folder + L"\\" + name, true, prefix + name + L"\\")) names.push_back(below);
    } while (::FindNextFileW(find.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

struct Row {
    const char* label;
    const wchar_t* folder;             // the product's own (kProductFolderName), or one of the user's
    std::vector<std::string> entries;  // the payload, in order
    bool extracted;
    std::vector<std::wstring> files;   // what is left below the folder besides the user's: what an
                                       // extraction made, or what a refusal before the cleanup kept
    std::vector<std::wstring> earlier = {};  // an earlier installation's files, named as on disk
    std::string list = {};                   // and the list it wrote, if any
};

const wchar_t* const kProduct = kProductFolderName;
const wchar_t* const kUser = L"Games";
// What the user keeps in a folder of the user's own; its "bin" shares a name with payloads' folders.
const std::vector<std::wstring> kUserFiles = {L"bin\\mine.txt", L"notes.txt"};

class HostileNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        ::DestroyWindow(window_);
        ::DeleteFileW((ModuleDirectory() + kPayloadFile).c_str());
    }
    // Runs the task for `folder`: true when it extracted and handed on, false when it reported a
    // full disk and ended the chain. `beforeClose` runs before each file is closed, in turn.
    bool Run(const std::wstring& folder, FileCloser::BeforeClose beforeClose = nullptr) {
        UnZipTask task(window_, [](HWND window, int32_t) -> TaskBase* { return new TaskBase(window); });
        task.SetInstallPath(folder);
        if (beforeClose) {
            task.closerThreads = 0;
            task.beforeClose = std::move(beforeClose);
        }
        task.Run();
        const bool handedOn = task.next != nullptr;
        delete task.next;
        bool fullDisk = false;
        MSG msg;
        while (::PeekMessageW(&msg, window_, WM_USER, WM_USER + 100, PM_REMOVE))
            fullDisk = msg.message == WM_DISK_SPACE_ERROR;
        EXPECT_NE(handedOn, fullDisk);
        return handedOn;
    }

    HWND window_ = nullptr;
};

TEST_F(HostileNamesTest, RefusedOrExtractedInsideAndNothingElseChanges) {
    const std::vector<std::string> twoDotEntries = {"..abc.txt", "..d/", "..d/inner.txt", "...x.txt"};
    const std::vector<std::wstring> twoDots = {L"...x.txt", L"..abc.txt", L"..d\\inner.txt"};
    const Row rows[] = {
        {"NUL", kProduct, {"ok.txt", "NUL"}, false, {}},
        {"nul.txt", kUser, {"ok.txt", "nul.txt"}, false, {}},
        {"AUX", kProduct, {"ok.txt", "AUX"}, false, {}},
        {"Aux.txt", kUser, {"ok.txt", "Aux.txt"}, false, {}},
        {"COM1", kProduct, {"ok.txt", "COM1"}, false, {}},
        {"com1.dat", kUser, {"ok.txt", "com1.dat"}, false, {}},
        {"CON", kProduct, {"ok.txt", "CON"}, false, {}},
        {"LPT1", kUser, {"ok.txt", "LPT1"}, false, {}},
        {"trailing dot", kProduct, {"ok.txt", "nul."}, false, {}},
        {"trailing blank", kUser, {"ok.txt", "NUL "}, false, {}},
        {"blank before the extension", kProduct, {"ok.txt", "nul .txt"}, false, {}},
        {"two extensions", kUser, {"ok.txt", "Nul.tar.gz"}, false, {}},
        {"a device folder", kProduct, {"ok.txt", "aux/", "aux/x.txt"}, false, {}},
        {"a device deep in the path", kUser, {"a/", "a/b.txt", "a/con/b.txt"}, false, {}},
        {"a device folder with an extension", kProduct, {"ok.txt", "lpt9.log/x.txt"}, false, {}},
        {"console input", kUser, {"ok.txt", "CONIN$"}, false, {}},
        {"console output", kProduct, {"ok.txt", "conout$.txt"}, false, {}},
        {"superscript digit", kUser, {"ok.txt", "COM\xC2\xB9.txt"}, false, {}},
        {"stream", kUser, {"readme.txt", "readme.txt:hidden_stream"}, false, {}},
        {"typed stream", kProduct, {"ok.txt", "ok.txt::$DATA"}, false, {}},
        {"stream of a folder", kUser, {"dir/", "dir:s/x.txt"}, false, {}},
        {"dot components", kUser, {"./dots/./inner.txt"}, true, {L"dots\\inner.txt"}},
        {"dot folder entries", kProduct, {"./", "./d/", "d/./e.txt", "./f.txt"}, true, {L"d\\e.txt", L"f.txt"}},
        {"a file named only dots", kProduct, {"ok.txt", "./."}, false, {}},
        {"trailing dots and blanks", kUser, {"dir./", "dir./a.txt. "}, true, {L"dir\\a.txt"}},
        {"names starting with two dots", kProduct, twoDotEntries, true, twoDots},
        {"names starting with two dots, user's folder", kUser, twoDotEntries, true, twoDots},
        // The user's own files in a "bin" of the user's stay; without a list, of the earlier
        // installation's only what the payload holds is known to be the product's.
        {"the user's own bin", kUser, {"bin/", "bin/tool.exe", "bin/old.exe"}, true,
         {L"bin\\left.exe", L"bin\\old.exe", L"bin\\tool.exe"}, {L"bin\\old.exe", L"bin\\left.exe"}},
        {"the user's own bin, with the earlier list", kUser, {"bin/", "bin/tool.exe"}, true, {L"bin\\tool.exe"},
         {L"bin\\gone.dll", L"lib\\x.dll"},
         std::string(kInstallListHeader) + "\r\nbin\\gone.dll\r\nlib\\\r\nlib\\x.dll\r\n"},
        // A list naming the folder itself takes none of the user's files: another tool's is no list
        // (the payload's names go), and in one of ours such lines are refused.
        {"a foreign list naming the folder itself", kUser, {"bin/", "bin/tool.exe"}, true, {L"bin\\tool.exe"},
         {L"bin\\tool.exe"}, "./\r\n.\\\r\n\r\n"},
        {"a list of ours naming the folder itself", kUser, {"bin/", "bin/tool.exe"}, true, {L"bin\\tool.exe"},
         {L"old.dll"}, std::string(kInstallListHeader) + "\r\nold.dll\r\n./\r\n.\\\r\n"},
        // Names the shell cannot delete, and a file named as a device: our own walk removes them.
        {"an earlier installation the shell cannot delete", kProduct, {"new.txt"}, true, {L"new.txt"},
         {L"..abc.txt", L"..d\\old.txt", L"...x.txt", L"nul.txt", L"sub\\com1.dat"}},
        {"a failure after names the shell cannot delete", kProduct, {"..abc.txt", "..d/", "..d/f.txt", "../escape.txt"},
         false, {}},
        {"a failure after names the shell cannot delete, user's folder", kUser,
         {"..abc.txt", "..d/", "..d/f.txt", "../escape.txt"}, false, {}},
        // A name used as a file and as a folder, as Windows compares names, fails the check: the
        // earlier installation stays whole.
        {"a file, then a folder of its name", kUser, {"a", "a/b"}, false, {L"a"}, {L"a"}},
        {"a folder, then a file of its name", kProduct, {"x.txt", "a/", "a"}, false, {L"old.txt"}, {L"old.txt"}},
        {"a file, then a folder of its name in another case", kProduct, {"Data", "DATA./b.txt"}, false,
         {L"old.txt"}, {L"old.txt"}},
        {"a file named as a deeper way's folder", kUser, {"a/", "a/b/", "a/b/c.txt", "A/B"}, false,
         {L"a\\b\\c.txt"}, {L"a\\b\\c.txt"}},
    };
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const std::wstring name = L"hostile-" + std::to_wstring(index++);
        // A failed run may have left names only the "\\?\" form reaches.
        DeleteTree(WinPathFromEnv(L"VEXO_TEST_TMP") + L"\\" + name);
        const std::wstring outer = FreshScratch(name);
        const std::wstring folder = outer + L"\\" + row.folder;
        const bool user = std::wstring(row.folder) == kUser;
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        WriteFile(outer + L"\\outside.txt", "outside");
        if (user)
            for (const auto& file : kUserFiles) Plant(folder, file, "mine");
        for (const auto& file : row.earlier) Plant(folder, file, "earlier");
        if (!row.list.empty()) WriteFile(folder + kInstallListFile, row.list);
        const std::string payload = StoredZip(row.entries);
        ASSERT_NO_FATAL_FAILURE(WriteFile(ModuleDirectory() + kPayloadFile, payload));

        EXPECT_EQ(Run(folder), row.extracted);

        std::string data;
        EXPECT_TRUE(ReadWholeFile(outer + L"\\outside.txt", &data) && data == "outside");
        const bool folderStays = user || row.extracted || !row.files.empty();
        std::vector<std::wstring> outside = {L"outside.txt"};
        if (folderStays) outside.push_back(row.folder);
        std::sort(outside.begin(), outside.end());
        EXPECT_EQ(Listing(outer, false), outside);
        if (!folderStays) continue;
        // The user's files as they were; beside them only what this payload extracted, and its list.
        std::vector<std::wstring> expected = user ? kUserFiles : std::vector<std::wstring>{};
        if (user) {
            for (const auto& file : kUserFiles)
                EXPECT_TRUE(ReadWholeFile(folder + L"\\" + file, &data) && data == "mine") << Utf8(file);
        }
        expected.insert(expected.end(), row.files.begin(), row.files.end());
        if (row.extracted) expected.push_back(kInstallListFile + 1);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Listing(folder, true), expected);
    }
}

// The files of an earlier installation in a folder of the user's, moved aside and then removed.
void MoveAsideAndCommit(const std::wstring& folder, const std::wstring& payload) {
    FilesAside aside(folder, payload);
    if (aside.Begin(0)) aside.Commit();
}

// A link to a folder outside, made by the fixture script, is never followed by the removal of a
// folder or by the cleanup; one that cannot be removed by itself (Wine takes every delete of a link
// to what it points to) stays, and the log names it.
TEST_F(HostileNamesTest, LinksAreNeverFollowedOutOfTheFolder) {
    const std::wstring links = WinPathFromEnv(L"VEXO_UNZIPDATA") + L"\\links";
    if (!PathExists(links + L"\\outside\\keep.txt")) GTEST_SKIP() << "no fixture links";
    const std::wstring scratch = FreshScratch(L"links");
    const std::wstring payload = scratch + kPayloadFile;
    ASSERT_NO_FATAL_FAILURE(WriteFile(payload, StoredZip({"own.txt", "bin/", "bin/keep.txt", "dirlink/"})));

    struct LinkRow {
        const char* label;
        const wchar_t* folder;
        const wchar_t* link;
        void (*remove)(const std::wstring& folder, const std::wstring& payload);
    };
    const LinkRow rows[] = {
        {"own walk", kProductFolderName, L"dirlink", [](const std::wstring& f, const std::wstring&) { DeleteTree(f); }},
        {"earlier list", L"Listed", L"dirlink", MoveAsideAndCommit},
        {"payload's names", L"User", L"bin", MoveAsideAndCommit},
    };
    for (const LinkRow& row : rows) {
        SCOPED_TRACE(row.label);
        const std::wstring log = scratch + L"\\" + row.folder + L".log";
        ASSERT_NE(InitLogAt(log), nullptr);
        const std::wstring folder = links + L"\\" + row.folder;
        ASSERT_TRUE(PathExists(folder + L"\\own.txt"));
        // The fixture script writes the lines; marked here as the installer marks its lists.
        std::string listed;
        if (ReadWholeFile(folder + kInstallListFile, &listed) && listed.find(kInstallListHeader) != 0) {
            ASSERT_NO_FATAL_FAILURE(WriteFile(folder + kInstallListFile, kInstallListHeader + ("\r\n" + listed)));
        }

        row.remove(folder, payload);
        // A folder the installer writes in by name is never taken where a link in its place leads.
        EXPECT_FALSE(HeldFolder(folder + L"\\" + row.link, true));
        EXPECT_TRUE(!PathExists(folder + L"\\" + row.link) || HeldFolder(folder + L"\\" + row.link));

        std::string data;
        EXPECT_TRUE(ReadWholeFile(links + L"\\outside\\keep.txt", &data) && data == "outside");
        EXPECT_EQ(Listing(links + L"\\outside", false), std::vector<std::wstring>{L"keep.txt"});
        EXPECT_FALSE(PathExists(folder + L"\\own.txt"));
        if (PathExists(folder + L"\\" + row.link)) {
            std::string logged;
            ASSERT_TRUE(ReadWholeFile(log, &logged));
            EXPECT_NE(logged.find(ToUserAnsi(row.link)), std::string::npos) << logged;
        }
    }
}

// A payload that would write through a junction or symbolic link below the install folder, made by
// the fixture script: refused before the cleanup, or, for a link that comes during the extraction
// (a folder holding one moved in, or a folder the extraction has left swapped for one), by the
// extraction. Nothing behind the link changes, and nothing of the folder's but what the run made goes.
TEST_F(HostileNamesTest, AWayThroughALinkIsRefusedAndNothingBehindItChanges) {
    const std::wstring links = WinPathFromEnv(L"VEXO_UNZIPDATA") + L"\\links";
    const std::wstring refused = links + L"\\refused";
    if (!PathExists(refused + L"\\Mine\\bin\\keep.txt")) GTEST_SKIP() << "no fixture links";
    struct Move {
        const wchar_t* from;  // below `links`
        const wchar_t* to;
    };
    struct LinkRow {
        const char* label;
        const wchar_t* folder;
        std::vector<std::string> entries;
        std::vector<Move> late;  // done as the file of entry `lateAt` is closed
        uint32_t lateAt;
    };
    const LinkRow rows[] = {
        {"a link in a user's folder", L"Mine", {"tool.exe", "bin/", "bin/keep.txt"}, {}, 0},
        {"a link deeper in a product folder", L"deep\\kavix", {"a.txt", "sub/", "sub/dirlink/keep.txt"}, {}, 0},
        {"the install folder a link", L"Linked", {"keep.txt"}, {}, 0},
        {"a link moved in during the extraction", L"Late", {"a.txt", "data/", "data/sub/", "data/sub/keep.txt"},
         {{L"refused\\parked", L"refused\\Late\\data"}}, 0},
        // data\sub is kept held while b.txt is written; coming back, the way kept is looked at again.
        {"a folder left behind swapped for a link", L"Swapped",
         {"data/", "data/sub/", "data/sub/a.txt", "b.txt", "data/sub/keep.txt"},
         {{L"refused", L"refused-away"}, {L"decoy", L"refused"}}, 3},
    };
    for (const LinkRow& row : rows) {
        SCOPED_TRACE(row.label);
        const std::wstring folder = refused + L"\\" + row.folder;
        const std::wstring log = links + L"\\refused-" + std::to_wstring(&row - rows) + L".log";
        ASSERT_NE(InitLogAt(log), nullptr);
        ASSERT_NO_FATAL_FAILURE(WriteFile(ModuleDirectory() + kPayloadFile, StoredZip(row.entries)));
        const std::vector<std::wstring> before = Listing(folder, true);
        FileCloser::BeforeClose moveLinkIn = nullptr;
        if (!row.late.empty()) {
            moveLinkIn = [&](uint32_t entry) {
                if (entry != row.lateAt) return true;
                for (const Move& move : row.late)
                    if (!::MoveFileW((links + L"\\" + move.from).c_str(), (links + L"\\" + move.to).c_str())) return false;
                return true;
            };
        }

        EXPECT_FALSE(Run(folder, moveLinkIn));

        std::string data;
        EXPECT_TRUE(ReadWholeFile(links + L"\\outside\\keep.txt", &data) && data == "outside");
        EXPECT_EQ(Listing(links + L"\\outside", false), std::vector<std::wstring>{L"keep.txt"});
        // What was moved in stays, the link in it too.
        std::vector<std::wstring> after = Listing(folder, true);
        if (!row.late.empty()) {
            EXPECT_TRUE(PathExists(folder + L"\\data\\sub\\keep.txt"));
            after.erase(std::remove_if(after.begin(), after.end(),
                                       [](const std::wstring& file) { return file.compare(0, 5, L"data\\") == 0; }),
                        after.end());
        }
        EXPECT_EQ(after, before);
        if (std::wstring(row.folder) != L"Linked") {
            EXPECT_TRUE(ReadWholeFile(folder + L"\\own.txt", &data) && data == "own");
        }
        std::string logged;
        ASSERT_TRUE(ReadWholeFile(log, &logged));
        EXPECT_NE(logged.find(!row.late.empty() ? ToUserAnsi(folder + L"\\data\\sub") : std::string("link")),
                  std::string::npos)
            << logged;
    }
}

// A program of the user's puts a second name of a file of its own at a target's name: before the
// run, or in a folder the run has just made, as the entry before it is closed. The name is replaced
// by a file of the payload's, and the file it named never changes.
TEST_F(HostileNamesTest, ASecondNameAtATargetIsReplacedNeverWrittenThrough) {
    struct PlantRow {
        const char* label;
        const wchar_t* folder;
        bool beforeTheRun;
    };
    const PlantRow rows[] = {
        {"before the run, in a user's folder", kUser, true},
        {"in a folder the run made, in a user's folder", kUser, false},
        {"in a folder the run made, in the product's folder", kProduct, false},
    };
    const std::wstring scratch = FreshScratch(L"planted");
    ASSERT_NO_FATAL_FAILURE(WriteFile(ModuleDirectory() + kPayloadFile, StoredZip({"top.txt", "data/", "data/a.txt", "data/b.txt"})));
    for (const PlantRow& row : rows) {
        SCOPED_TRACE(row.label);
        const std::wstring folder = scratch + L"\\" + std::to_wstring(&row - rows) + L"\\" + row.folder;
        const std::wstring victim = scratch + L"\\victim" + std::to_wstring(&row - rows) + L".txt";
        ASSERT_NO_FATAL_FAILURE(WriteFile(victim, "the user's own"));
        ASSERT_NE(InitLogAt(scratch + L"\\" + std::to_wstring(&row - rows) + L".log"), nullptr);
        ASSERT_TRUE(::CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        if (row.beforeTheRun) {
            ASSERT_TRUE(::CreateDirectoryW((folder + L"\\data").c_str(), nullptr));
            ASSERT_TRUE(::CreateHardLinkW((folder + L"\\data\\b.txt").c_str(), victim.c_str(), nullptr));
        }
        bool planted = row.beforeTheRun;
        // Wherever the run extracts: in place, or beside the product's folder first.
        const auto plant = [&](uint32_t entry) {
            for (const std::wstring& root : {folder, folder + L".~new"}) {
                if (entry == 2 && !planted && PathExists(root + L"\\data"))
                    planted = ::CreateHardLinkW((root + L"\\data\\b.txt").c_str(), victim.c_str(), nullptr) != FALSE;
            }
            return true;
        };

        EXPECT_TRUE(Run(folder, plant));

        EXPECT_TRUE(planted);
        std::string data;
        EXPECT_TRUE(ReadWholeFile(victim, &data) && data == "the user's own") << data;
        EXPECT_TRUE(ReadWholeFile(folder + L"\\data\\b.txt", &data) && data == "data/b.txt") << data;
    }
}

// A run in a user's folder that succeeded while a program held a file of the earlier installation
// open: what is left aside goes at the next start, and is never put back over the new files.
TEST_F(HostileNamesTest, ASucceededRunIsNeverUndoneByTheNextStart) {
    const std::wstring folder = FreshScratch(L"committed") + L"\\Games";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_NO_FATAL_FAILURE(WriteFile(folder + L"\\a.txt", "earlier"));
    ASSERT_NO_FATAL_FAILURE(WriteFile(ModuleDirectory() + kPayloadFile, StoredZip({"a.txt", "b.txt"})));
    ASSERT_NE(InitLogAt(folder + L".log"), nullptr);
    const std::wstring aside = FilesAsideFolderOf(folder);
    UniqueFile held;
    EXPECT_TRUE(Run(folder, [&](uint32_t) {
        if (!held)
            held.reset(::CreateFileW((aside + L"\\files\\a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
        return true;
    }));
    EXPECT_TRUE(held);
    held.reset();

    ClearUnfinishedSwaps();

    std::string data;
    EXPECT_TRUE(ReadWholeFile(folder + L"\\a.txt", &data) && data == "a.txt") << data;
    EXPECT_TRUE(PathExists(folder + L"\\b.txt"));
    EXPECT_FALSE(PathExists(aside));
    EXPECT_TRUE(UnfinishedFolders().empty());
}

// A payload whose longest path fits the product's folder but not the new folder made beside it is
// extracted in place, as it fits, rather than failed.
TEST_F(HostileNamesTest, APathThatFitsOnlyInPlaceIsExtractedInPlace) {
    const std::wstring folder = FreshScratch(L"long") + L"\\" + kProductFolderName;
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_NO_FATAL_FAILURE(WriteFile(folder + L"\\earlier.txt", "earlier"));
    const std::string name(MAX_PATH - 2 - folder.size(), 'n');  // folder\name: one short of the limit
    ASSERT_NO_FATAL_FAILURE(WriteFile(ModuleDirectory() + kPayloadFile, StoredZip({name})));
    ASSERT_NE(InitLogAt(folder + L".log"), nullptr);
    EXPECT_TRUE(Run(folder));
    EXPECT_TRUE(PathExists(folder + L"\\" + std::wstring(name.begin(), name.end())));
}

}  // namespace
