// Folders only administrators may change: the rule for where deletions wait for the next restart,
// on the descriptors Windows gives its own folders and the user's, read as the check reads them;
// and on disk under Wine, where every file belongs to the user (measured: owner
// S-1-5-21-0-0-0-1000, whatever was asked for) and a DACL is kept only as the Unix mode.

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which they need
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "TestFiles.h"
#include "base/AdminFolder.h"
#include "base/HeldCopy.h"
#include "base/Owners.h"
#include "base/ReleasePins.h"

namespace {

const std::wstring kInstallerService = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

TEST(AdminFolder, OnlyAdministratorsHaveTheRightsThatChangeAFolder) {
    const std::wstring ti = kInstallerService;
    const struct {
        const char* label;
        std::wstring sddl;
        DWORD rights;
        bool only;
    } cases[] = {
        {"made by MakeAdminFolder", std::wstring(L"O:BA") + kAdminFolderAccess, kWriteRights, true},
        {"program files", L"O:" + ti + L"D:P(A;;FA;;;" + ti + L")(A;CIIO;GA;;;" + ti + L")(A;;0x1301bf;;;SY)" +
                              L"(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)" +
                              L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)",
         kWriteRights, true},
        // Users may add to the common application data, not rename or delete what is there.
        {"common data on the way", L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)",
         kChildRights | kRenameRights, true},
        {"common data itself", L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;0x116;;;BU)",
         kWriteRights, false},
        // A drive's root: signed-in users make folders there, and may change what they inherit.
        {"drive root", L"O:" + ti + L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)",
         kChildRights, true},
        {"users may rename it", L"O:BAD:(A;;FA;;;BA)(A;;SD;;;BU)", kRenameRights, false},
        {"users may delete in it", L"O:BAD:(A;;FA;;;BA)(A;;0x40;;;AU)", kChildRights, false},
        {"users may change its DACL", L"O:BAD:(A;;FA;;;BA)(A;;WD;;;WD)", kChildRights, false},
        {"the owner's own rights", L"O:BAD:(A;;FA;;;BA)(A;;FA;;;CO)(A;;WD;;;OW)", kWriteRights, true},
        {"the user's temp folder", L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)",
         kChildRights, false},
        {"no DACL", L"O:BA", kChildRights, false},
        {"no owner", L"D:P(A;OICI;FA;;;BA)", kChildRights, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                         nullptr));
        const UniqueLocalMemory owner(descriptor);
        EXPECT_EQ(OnlyAdministratorsHave(descriptor, c.rights), c.only);
    }
    // A null DACL grants everyone everything. Made by hand: Wine reads "D:NO_ACCESS_CONTROL" as an
    // empty DACL, which grants nothing.
    SECURITY_DESCRIPTOR open = {};
    BYTE admins[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof admins;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
    ASSERT_TRUE(InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open, admins, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_FALSE(OnlyAdministratorsHave(&open, kChildRights));
}

// On disk the way is read from the drive's root down. Under Wine even a folder made only for
// administrators is refused, at the root, which belongs to the user like every file there.
TEST(AdminFolder, TheWayIsReadFromTheDrivesRoot) {
    const std::wstring scratch = FreshScratch(L"admin");
    std::wstring folder, offending;
    UniqueFile held;
    ASSERT_TRUE(MakeAdminFolder(scratch + L"\\", L"only-", &folder, &held));
    EXPECT_FALSE(OnlyAdministratorsChange(folder, &offending));
    EXPECT_EQ(offending, folder.substr(0, 3));
    // No drive letter: a network share is no such way.
    EXPECT_FALSE(OnlyAdministratorsChange(L"\\\\server\\share\\folder", &offending));
    EXPECT_FALSE(OnlyAdministratorsChange(L"relative\\folder", &offending));
}

}  // namespace

namespace {

constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                               FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// The rights to write into or change `path` its DACL grants to any user: Everyone, Users,
// Authenticated Users, Interactive. Under Wine a DACL is read back from the file's Unix mode, so
// this is what Wine keeps of it.
DWORD WriteRightsOfUsers(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &descriptor) != ERROR_SUCCESS)
        return ~0u;
    const UniqueLocalMemory owner(descriptor);
    if (dacl == nullptr) return ~0u;  // no DACL: everyone may do anything
    DWORD granted = 0;
    for (const wchar_t* user : {L"WD", L"BU", L"AU", L"IU"}) {
        PSID sid = nullptr;
        if (!::ConvertStringSidToSidW(user, &sid)) return ~0u;
        const UniqueLocalMemory sidOwner(sid);
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            ACE_HEADER* header = nullptr;
            if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            if (::EqualSid(&ace->SidStart, sid)) granted |= ace->Mask & kWriteRights;
        }
    }
    return granted;
}

bool WriteNew(const std::wstring& path, const std::string& data) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

}  // namespace

// Users may read and run what is in it, never write there, even inside a folder everyone may write
// (nothing is inherited). That parent is the control: it reads back as users' to change, so the
// check can fail. (Under Wine a DACL is kept as the Unix mode; CreateDirectoryW's gives 0770.)
TEST(AdminFolder, UsersCannotWriteTheFolderItMakes) {
    const std::wstring parent = FreshScratch(L"admin-folder") + L"\\open";
    ASSERT_TRUE(::CreateDirectoryW(parent.c_str(), nullptr));
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                       &everyone, nullptr));
    const UniqueLocalMemory owner(everyone);
    ASSERT_TRUE(::SetFileSecurityW(parent.c_str(), DACL_SECURITY_INFORMATION, everyone));
    EXPECT_NE(WriteRightsOfUsers(parent), 0u);

    std::wstring folder;
    UniqueFile held;
    ASSERT_TRUE(MakeAdminFolder(parent + L"\\", L"t-", &folder, &held));
    EXPECT_TRUE(held);
    EXPECT_EQ(folder.rfind(parent + L"\\t-", 0), 0u);
    EXPECT_EQ(WriteRightsOfUsers(folder), 0u);
}

// Held, the folder cannot be renamed away or removed (and replaced by another of that name).
TEST(AdminFolder, HeldFolderStaysWhereItWasMade) {
    const std::wstring parent = FreshScratch(L"admin-folder-held") + L"\\";
    std::wstring folder;
    UniqueFile held;
    ASSERT_TRUE(MakeAdminFolder(parent, L"t-", &folder, &held));
    EXPECT_FALSE(::MoveFileW(folder.c_str(), (parent + L"moved").c_str()));
    EXPECT_FALSE(::RemoveDirectoryW(folder.c_str()));
    EXPECT_TRUE(PathExists(folder));
    held.reset();
    EXPECT_TRUE(::MoveFileW(folder.c_str(), (parent + L"moved").c_str()));
}

// The copy is what the source holds, whole, wherever the source's position was; held, nobody can
// write, rename or delete it, while reading (as starting it does) still works.
TEST(HeldCopy, CopyIsWholeAndHeldAgainstChanges) {
    const std::wstring folder = FreshScratch(L"held-copy");
    std::string data(300 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + i / 977);
    ASSERT_TRUE(WriteNew(folder + L"\\source.exe", data));
    const UniqueFile source(::CreateFileW((folder + L"\\source.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(source);
    char first[100];
    DWORD got = 0;
    ASSERT_TRUE(::ReadFile(source.get(), first, sizeof first, &got, nullptr));

    const std::wstring copy = folder + L"\\copy.exe";
    UniqueFile held;
    ASSERT_TRUE(CopyToHeldFile(source.get(), copy, &held));
    std::string copied;
    ASSERT_TRUE(ReadWholeFile(copy, &copied));
    EXPECT_TRUE(copied == data) << copied.size() << " bytes";

    EXPECT_FALSE(UniqueFile(::CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr)));
    EXPECT_FALSE(::MoveFileW(copy.c_str(), (folder + L"\\other.exe").c_str()));
    EXPECT_FALSE(::DeleteFileW(copy.c_str()));
    EXPECT_TRUE(UniqueFile(::CreateFileW(copy.c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr)));
    EXPECT_TRUE(SameFile(held.get(), UniqueFile(::CreateFileW(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                              OPEN_EXISTING, 0, nullptr))
                                         .get()));
    held.reset();
    EXPECT_TRUE(::DeleteFileW(copy.c_str()));
}

// A file already at the name is someone else's: it is neither written nor deleted.
TEST(HeldCopy, ExistingNameIsNeverTakenOver) {
    const std::wstring folder = FreshScratch(L"held-copy-taken");
    ASSERT_TRUE(WriteNew(folder + L"\\source.exe", "ours"));
    ASSERT_TRUE(WriteNew(folder + L"\\copy.exe", "theirs"));
    const UniqueFile source(::CreateFileW((folder + L"\\source.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    UniqueFile held;
    EXPECT_FALSE(CopyToHeldFile(source.get(), folder + L"\\copy.exe", &held));
    EXPECT_FALSE(held);
    std::string left;
    EXPECT_TRUE(ReadWholeFile(folder + L"\\copy.exe", &left));
    EXPECT_EQ(left, "theirs");
}
