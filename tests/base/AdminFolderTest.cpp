// The rule for folders where deletions wait for the next restart: the descriptors Windows gives
// its own folders and the user's, read as the check reads them; and on disk under Wine, where every
// file belongs to the user (measured: owner S-1-5-21-0-0-0-1000, whatever was asked for).

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <sddl.h>

#include <string>

#include "TestFiles.h"
#include "base/AdminFolder.h"
#include "base/Owners.h"

namespace {

const std::wstring kInstallerService = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

TEST(AdminFolderTest, OnlyAdministratorsHaveTheRightsThatChangeAFolder) {
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
TEST(AdminFolderTest, TheWayIsReadFromTheDrivesRoot) {
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
