// Removing what an install list names, in scratch folders: what it takes, what it keeps, and the
// lines it must never follow.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ArchiveTestUtil.h"
#include "TestFiles.h"
#include "archive/InstallList.h"
#include "archive/Removal.h"
#include "base/Owners.h"
#include "base/Product.h"

namespace {

void WriteText(const std::wstring& path, const std::string& text) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        << Utf8(path);
}

// What an installation lists: two folders, and files in them and at the top (one read-only).
const std::string kHeader = std::string(kInstallListHeader) + "\r\n";
const std::string kOwnBody = "sub\\\r\nsub\\deep\\\r\na.txt\r\nro.txt\r\nsub\\b.txt\r\nsub\\deep\\c.txt\r\n";
const std::string kOwnLines = kHeader + kOwnBody;

TEST(InstallList, RemovesWhatItNamesAndNeverFollowsALineOut) {
    struct Case {
        const char* label;
        const wchar_t* folderName;  // "kavix" is the product's own
        std::string list;           // none when empty
        bool result;
        bool listedGone;
    };
    const std::string nul("\0..\\\r\n", 6);  // read as "", the install folder itself
    const Case cases[] = {
        {"its own lines", L"Games", kOwnLines, true, true},
        {"byte-order mark, bare line ends", L"Games",
         "\xEF\xBB\xBF" + std::string(kInstallListHeader) + "\nsub\\\na.txt\nro.txt\nsub\\deep\\c.txt", true, true},
        // Another tool's list, or one from before lists were marked, is no list of ours.
        {"not marked as ours", L"Games", kOwnBody, false, false},
        {"marked further down", L"Games", kOwnBody + kHeader, false, false},
        // Lines naming the folder itself are refused; the rest of the list still counts.
        {"the folder itself", L"Games", kOwnLines + "./\r\n.\\\r\n.\r\n \r\n", false, true},
        {"product folder", kProductFolderName, kOwnLines + "..\\\r\n", false, true},
        {"product folder without a list", kProductFolderName, "", true, true},
        {"no list", L"Games", "", false, false},
        {"parent", L"Games", kOwnLines + "..\\outside.txt\r\n", false, true},
        {"parent folder", L"Games", kOwnLines + "..\\\r\n", false, true},
        {"through a folder", L"Games", kOwnLines + "sub\\..\\..\\outside.txt\r\n", false, true},
        {"absolute", L"Games", kOwnLines + "<outside>\r\n", false, true},
        {"rooted", L"Games", kOwnLines + "\\outside.txt\r\n", false, true},
        {"wildcard", L"Games", kOwnLines + "*\\\r\n", false, true},
        {"stream", L"Games", kOwnLines + "user.txt:data\r\n", false, true},
        {"NUL", L"Games", kOwnLines + nul, false, true},
        {"not UTF-8", L"Games", kOwnLines + "\xFF\xFE\r\n", false, true},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring root = FreshScratch(L"list-" + std::to_wstring(row++));
        const std::wstring folder = root + L"\\" + c.folderName;
        for (const wchar_t* made : {L"\\Other", L"\\Other\\Mods"})
            ASSERT_TRUE(::CreateDirectoryW((root + made).c_str(), nullptr));
        WriteText(root + L"\\outside.txt", "not the product's");
        WriteText(root + L"\\Other\\Mods\\keep.txt", "not the product's");
        for (const wchar_t* made : {L"", L"\\sub", L"\\sub\\deep"})
            ASSERT_TRUE(::CreateDirectoryW((folder + made).c_str(), nullptr));
        for (const wchar_t* file :
             {L"\\a.txt", L"\\ro.txt", L"\\sub\\b.txt", L"\\sub\\deep\\c.txt", L"\\user.txt", L"\\sub\\made-later.dat"})
            WriteText(folder + file, "data");
        ASSERT_TRUE(::SetFileAttributesW((folder + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        std::string list = c.list;
        const size_t absolute = list.find("<outside>");
        if (absolute != std::string::npos) list.replace(absolute, 9, Utf8(root + L"\\outside.txt"));
        if (!list.empty()) WriteText(folder + kInstallListFile, list);

        EXPECT_EQ(RemoveInstallation(folder), c.result);

        EXPECT_TRUE(PathExists(root + L"\\outside.txt"));
        EXPECT_TRUE(PathExists(root + L"\\Other\\Mods\\keep.txt"));
        const bool productFolder = c.folderName == std::wstring(kProductFolderName);
        // The product's own folder goes whole; any other keeps what was not listed.
        EXPECT_EQ(PathExists(folder), !productFolder);
        EXPECT_EQ(PathExists(folder + L"\\user.txt"), !productFolder);
        for (const wchar_t* listed : {L"\\a.txt", L"\\ro.txt", L"\\sub"})
            EXPECT_EQ(PathExists(folder + listed), !c.listedGone) << Utf8(listed);
        // A list not wholly followed stays, to say what may be left.
        EXPECT_EQ(PathExists(folder + kInstallListFile), !productFolder && !list.empty() && !c.result);
    }
}

// What the list says, read back as the uninstaller reads it; and no list from a writer not finished.
TEST(InstallList, WritesWhatIsBelowTheFolderAndLeavesNoListUnfinished) {
    struct Line {
        std::wstring path;  // below the install folder unless absolute
        bool folder;
    };
    struct Case {
        const char* label;
        std::vector<Line> lines;
        bool finish;
        std::vector<std::wstring> expected;  // none: no list
    };
    std::vector<Line> many;
    std::vector<std::wstring> manyRead;
    // Past the size written at once, with a name not in any code page but UTF-8.
    for (int i = 0; i < 3000; ++i) {
        const std::wstring name = L"\u6a21\u62df\\file-" + std::to_wstring(i) + L"-with-a-longer-name.dat";
        many.push_back({name, false});
        manyRead.push_back(name);
    }
    // A payload at the entry limit, every name long: past the 16 MiB the reader once refused.
    std::vector<Line> longest;
    std::vector<std::wstring> longestRead;
    for (int i = 0; i < 65535; ++i) {
        // Appended in place: as many temporaries of this size, freed as soon as made, slow Wine's
        // heap down with every one.
        std::wstring name = L"folder-" + std::to_wstring(i / 256);
        name.append(L"\\").append(240, L'n').append(L"-").append(std::to_wstring(i)).append(L".dat");
        longest.push_back({name, false});
        longestRead.push_back(name);
    }
    const Case cases[] = {
        {"folders and files",
         {{L"sub", true}, {L"sub\\deep", true}, {L"a.txt", false}, {L"sub\\deep\\c.txt", false}},
         true,
         {L"sub\\", L"sub\\deep\\", L"a.txt", L"sub\\deep\\c.txt"}},
        {"the folder itself and what is outside it",
         {{L"", true}, {L"<root>", false}, {L"<root>\\Games-2\\x.txt", false}, {L"b.txt", false}},
         true,
         {L"b.txt"}},
        {"a long list", many, true, manyRead},
        {"the longest payload's list", longest, true, longestRead},
        {"not finished", {{L"sub", true}, {L"a.txt", false}}, false, {}},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring root = FreshScratch(L"writer-" + std::to_wstring(row++));
        const std::wstring folder = root + L"\\Games";
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
        // An earlier installation's list is replaced, or goes with an unfinished one.
        WriteText(folder + kInstallListFile, "old.txt\r\n");
        {
            InstallListWriter writer(folder);
            for (const Line& line : c.lines) {
                std::wstring path = line.path;
                const size_t at = path.find(L"<root>");
                if (at != std::wstring::npos) path.replace(at, 6, root);
                else path = line.path.empty() ? folder : folder + L"\\" + line.path;
                EXPECT_TRUE(writer.Add(path, line.folder));
            }
            if (c.finish) {
                EXPECT_TRUE(writer.Finish());
            }
        }
        std::vector<std::wstring> read;
        EXPECT_EQ(ReadInstallList(folder, &read), c.finish);
        EXPECT_EQ(read, c.expected);
    }
}

}  // namespace

// The removal underneath, through handles (Vista and later) and by path (XP): the same outcome.
TEST(Removal, ByHandleAndByPathLeaveTheSame) {
    for (const bool byHandle : {true, false}) {
        SCOPED_TRACE(byHandle ? "by handle" : "by path");
        const std::wstring root = FreshScratch(byHandle ? L"removal-handle" : L"removal-path");
        for (const wchar_t* made : {L"\\sub", L"\\sub\\deep", L"\\keep", L"\\empty", L"\\full", L"\\gone"})
            ASSERT_TRUE(::CreateDirectoryW((root + made).c_str(), nullptr));
        for (const wchar_t* file : {L"\\a.txt", L"\\ro.txt", L"\\sub\\b.txt", L"\\sub\\deep\\c.txt", L"\\keep\\user.txt",
                                    L"\\full\\x.txt", L"\\gone\\ro.txt"})
            WriteText(root + file, "data");
        for (const wchar_t* readOnly : {L"\\ro.txt", L"\\sub\\deep\\c.txt", L"\\sub\\deep", L"\\gone\\ro.txt"})
            ASSERT_TRUE(::SetFileAttributesW((root + readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
        RemovalOptions options;
        options.byHandle = byHandle;
        {
            Removal removal(root, options);
            EXPECT_TRUE(removal.RemoveFile(L"a.txt"));
            EXPECT_TRUE(removal.RemoveFile(L"ro.txt"));
            EXPECT_TRUE(removal.RemoveFile(L"missing\\x.txt"));
            EXPECT_FALSE(removal.RemoveFile(L"keep"));  // a folder where a file was made is not ours
            removal.RemoveFolderIfEmpty(L"empty");
            removal.RemoveFolderIfEmpty(L"full");
            EXPECT_TRUE(removal.RemoveFile(L"sub\\b.txt"));  // holds "sub" on the way ...
            EXPECT_TRUE(removal.RemoveFolder(L"sub"));       // ... and lets it go to remove it
        }
        Listing left;
        List(root, L"", &left, false);
        std::vector<std::wstring> names;
        for (const auto& seen : left) names.push_back(seen.first.substr(root.size() + 1));
        EXPECT_EQ(names, (std::vector<std::wstring>{L"full", L"full\\x.txt", L"gone", L"gone\\ro.txt", L"keep",
                                                   L"keep\\user.txt"}));
        EXPECT_TRUE(Removal(root + L"\\gone", options).RemoveRoot());
        EXPECT_FALSE(PathExists(root + L"\\gone"));
    }
}
