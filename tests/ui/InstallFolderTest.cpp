#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ui/InstallFolder.h"
#include "TestFiles.h"

namespace {

// A drive letter Wine's prefix does not map (it maps C: and Z:).
wchar_t MissingDriveLetter() {
    const DWORD mask = ::GetLogicalDrives();
    for (int d = 25; d >= 3; --d)
        if (!(mask & (1u << d))) return static_cast<wchar_t>(L'A' + d);
    return L'\0';
}

bool IsFolder(const std::wstring& path) {
    const DWORD attr = ::GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

TEST(InstallFolder, ChecksInOrderWithTheirMessages) {
    const wchar_t missing = MissingDriveLetter();
    ASSERT_NE(missing, L'\0');
    const std::wstring fifty = L"C:\\" + std::wstring(47, L'a');
    struct Case {
        std::wstring path;
        FolderCheck expected;
    };
    const Case cases[] = {
        {L"", FolderCheck::Empty},
        {fifty + L"a", FolderCheck::TooLong},
        {std::wstring(1, missing) + L":\\" + std::wstring(60, L'a'), FolderCheck::TooLong},  // length before drive
        {std::wstring(1, missing) + L":\\kavix", FolderCheck::NoDrive},
        {L"1:\\kavix", FolderCheck::NoDrive},
        {L"C:", FolderCheck::BadCharacters},
        {L"C:\\", FolderCheck::BadCharacters},
        {L"C:\\a-b", FolderCheck::BadCharacters},
        {L"C:\\a.b", FolderCheck::BadCharacters},
        {L"C:/kavix", FolderCheck::BadCharacters},
        {L"C:\\\u6a21\u62df\u5668", FolderCheck::BadCharacters},
        {L"C:\\\uff21bc", FolderCheck::BadCharacters},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CheckInstallFolder(c.path), c.expected) << std::string(c.path.begin(), c.path.end());
    }
    // Every refusal has a message of its own.
    EXPECT_EQ(FolderCheckMessage(FolderCheck::Ok), nullptr);
    std::vector<std::wstring> messages;
    for (int check = static_cast<int>(FolderCheck::Empty); check <= static_cast<int>(FolderCheck::CannotCreate); ++check) {
        const wchar_t* message = FolderCheckMessage(static_cast<FolderCheck>(check));
        ASSERT_NE(message, nullptr) << check;
        EXPECT_EQ(std::count(messages.begin(), messages.end(), message), 0) << check;
        messages.push_back(message);
    }
}

TEST(InstallFolder, ValidFoldersAreCreatedWithTheirParents) {
    const std::wstring root = L"C:\\vexo_folder_test";
    RemoveTree(root);

    // Spaces and parentheses, as under the 64-bit Program Files folder; a lower-case drive letter.
    const std::wstring spaced = root + L"\\Program Files (x86)\\kavix";
    ASSERT_EQ(CheckInstallFolder(spaced), FolderCheck::Ok);
    EXPECT_TRUE(IsFolder(spaced));  // created as typed, spaces included

    const std::wstring lower = L"c:\\vexo_folder_test\\a\\b\\c";
    ASSERT_EQ(CheckInstallFolder(lower), FolderCheck::Ok);
    EXPECT_TRUE(IsFolder(lower));

    // Exactly 50 code units passes the length check.
    std::wstring fifty = root + L"\\";
    fifty += std::wstring(kMaxInstallPathLength - fifty.size(), L'x');
    ASSERT_EQ(fifty.size(), kMaxInstallPathLength);
    EXPECT_EQ(CheckInstallFolder(fifty), FolderCheck::Ok);

    // An existing folder is accepted as it is.
    EXPECT_EQ(CheckInstallFolder(spaced), FolderCheck::Ok);

    // A file where the folder should be cannot become a folder.
    const std::wstring file = root + L"\\file";
    HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ::CloseHandle(h);
    EXPECT_EQ(CheckInstallFolder(file + L"\\kavix"), FolderCheck::CannotCreate);

    RemoveTree(root);
}

TEST(InstallFolder, CreateDirectoryTreeEdges) {
    const std::wstring root = L"C:\\vexo_tree_test";
    RemoveTree(root);
    EXPECT_TRUE(CreateDirectoryTree((root + L"\\x\\y\\").c_str()));  // trailing backslash
    EXPECT_TRUE(IsFolder(root + L"\\x\\y"));
    EXPECT_TRUE(CreateDirectoryTree((root + L"\\x").c_str()));  // already there
    // A missing drive ends the walk up at "Q:" (no backslash left) instead of looping.
    EXPECT_FALSE(CreateDirectoryTree((std::wstring(1, MissingDriveLetter()) + L":\\a\\b").c_str()));
    EXPECT_FALSE(CreateDirectoryTree((L"C:\\" + std::wstring(300, L'a') + L"\\b").c_str()));
    EXPECT_FALSE(CreateDirectoryTree(L""));
    RemoveTree(root);
}

TEST(InstallFolder, DrivesAndProductFolder) {
    EXPECT_TRUE(DriveExists(L'C'));
    EXPECT_TRUE(DriveExists(L'c'));
    EXPECT_FALSE(DriveExists(MissingDriveLetter()));
    EXPECT_FALSE(DriveExists(L'1'));
    EXPECT_FALSE(DriveExists(L'\0'));

    EXPECT_EQ(ProductFolderBelow(L"D:\\"), L"D:\\kavix");
    EXPECT_EQ(ProductFolderBelow(L"D:\\Games"), L"D:\\Games\\kavix");
}
