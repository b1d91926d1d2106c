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
