#pragma once
// Folders only administrators and the system may write to. The elevated installer starts programs
// and leaves things for the next restart only in such a folder: in one a user can write, any
// program of that user could put a DLL beside the program, or a link in place of a name.

#include <windows.h>

#include <string>

#include "base/Owners.h"

// Administrators and the system: full control; users: read and execute. Protected: nothing is
// inherited from the parent, which a user may be able to write.
constexpr wchar_t kAdminFolderAccess[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

// Makes a new folder `parent` + `prefix` + a unique suffix with kAdminFolderAccess and holds it
// open without sharing deletion, so it cannot be renamed away or replaced while held. A name that
// exists already is never taken over. False, logged, when none can be made.
bool MakeAdminFolder(const std::wstring& parent, const std::wstring& prefix, std::wstring* path, UniqueFile* held);

// Restart-time deletions (MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT) go by path, resolved at
// the restart, long after every handle of ours is gone: if a user could by then rename a folder
// on the way and put a link in its place, the system would delete what the link leads to. So
// they are made only inside a folder that, and whose way from the drive's root, only
// administrators, the system and the installer service (TrustedInstaller) can change:
//   - every folder on the way, the drive's root included: owned by one trusted, with a DACL, and
//     no ACE that applies to it granting anyone else the right to delete its entries, or to
//     change its DACL or owner;
//   - every folder below the root: no such ACE granting the right to delete (rename) it, and none
//     a junction or symbolic link;
//   - the folder itself: nor the right to add a file or folder, which could take a deleted name.
// Such a folder may itself go at the restart, after what is in it: nobody else can rename or
// delete it, so its name in its parent stays its own until then.
// CREATOR OWNER and OWNER RIGHTS count as the owner; inherit-only ACEs do not apply; deny ACEs
// are not counted on (a check that ignores them can only refuse more).
constexpr DWORD kRenameRights = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
constexpr DWORD kChildRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
constexpr DWORD kWriteRights =
    kRenameRights | kChildRights | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE | MAXIMUM_ALLOWED;

// True when the descriptor has a trusted owner and a DACL in which no ACE applying to the object
// grants anyone but the trusted any of `rights`.
bool OnlyAdministratorsHave(PSECURITY_DESCRIPTOR descriptor, DWORD rights);

// The rule above, on handles held on each folder of `folder`'s way ("C:\..." or "\\?\C:\...";
// a network path is refused). `offending`, when given, is set to the first folder that fails.
bool OnlyAdministratorsChange(const std::wstring& folder, std::wstring* offending = nullptr);

// The log line for what is left instead of being deleted at the restart.
void LogLeftNotAtRestart(const std::wstring& path, const std::wstring& offending);
