#include "base/AdminFolder.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "base/FileInFolder.h"
#include "base/Log.h"

namespace {

// The installer service's account, owner of the system's own folders.
bool IsTrustedInstaller(PSID sid) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID service = nullptr;
    if (!::AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u, 0, 0,
                                    &service))
        return false;
    const bool same = ::EqualSid(sid, service) != FALSE;
    ::FreeSid(service);
    return same;
}

bool IsTrusted(PSID sid) {
    return ::IsValidSid(sid) && (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                                 ::IsWellKnownSid(sid, WinLocalSystemSid) || IsTrustedInstaller(sid));
}

// The folder itself, held against renaming while it is looked at, with the right to read its
// security.
UniqueFile HoldToRead(const std::wstring& path) {
    return UniqueFile(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
}

bool HeldFolderPasses(HANDLE held, const std::wstring& path, DWORD rights) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(held, &info)) return false;
    // A link on the way would be followed at the restart. Wine shows one only on the path.
    const DWORD byPath = ::GetFileAttributesW(path.c_str());
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        byPath == INVALID_FILE_ATTRIBUTES || (byPath & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const UniqueLocalMemory owner(descriptor);
    return OnlyAdministratorsHave(descriptor, rights);
}

}  // namespace

bool OnlyAdministratorsHave(PSECURITY_DESCRIPTOR descriptor, DWORD rights) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr || !IsTrusted(owner))
        return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    // No DACL, or a null one, grants everyone everything.
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        switch (header->AceType) {
            case ACCESS_ALLOWED_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
                // Both begin as an allow ACE does: mask, then the SID.
                const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
                const PSID sid = const_cast<DWORD*>(&ace->SidStart);
                const bool asOwner =
                    ::IsWellKnownSid(sid, WinCreatorOwnerSid) || ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
                if ((ace->Mask & rights) != 0 && !asOwner && !IsTrusted(sid)) return false;
                break;
            }
            case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
            case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
            case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
                return false;  // grants in a form not read here
            default:
                break;  // denials, audits, labels
        }
    }
    return true;
}

bool OnlyAdministratorsChange(const std::wstring& folder, std::wstring* offending) {
    std::wstring path = folder.compare(0, 4, L"\\\\?\\") == 0 ? folder.substr(4) : folder;
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    if (offending != nullptr) *offending = path;
    // A drive's root and what is below it; a network share is no such way.
    if (path.size() < 3 || path[1] != L':' || path[2] != L'\\' || !::IsCharAlphaW(path[0])) return false;
    // The root, then each folder below it down to `path`.
    std::vector<std::wstring> way = {path.substr(0, 3)};
    for (size_t at = path.find(L'\\', 3); way.back().size() < path.size(); at = path.find(L'\\', at + 1))
        way.push_back(path.substr(0, at));  // npos: the whole path
    std::vector<UniqueFile> held;  // all of the way, while it is looked at
    for (size_t i = 0; i < way.size(); ++i) {
        // A drive's root cannot be renamed; what a user may do in the folder itself matters too.
        DWORD rights = i == 0 ? kChildRights : kChildRights | kRenameRights;
        if (i + 1 == way.size()) rights |= kWriteRights & ~(i == 0 ? DELETE : 0);
        const std::wstring literal = i == 0 ? way[i] : L"\\\\?\\" + way[i];
        held.push_back(HoldToRead(literal));
        if (!held.back() || !HeldFolderPasses(held.back().get(), literal, rights)) {
            if (offending != nullptr) *offending = way[i];
            return false;
        }
    }
    return true;
}

void LogLeftNotAtRestart(const std::wstring& path, const std::wstring& offending) {
    LogFormatW(g_log, L"left in place, not deleted at restart: %s (a folder others can write: %s)", path.c_str(),
               offending.c_str());
}

bool MakeAdminFolder(const std::wstring& parent, const std::wstring& prefix, std::wstring* path, UniqueFile* held) {
    // Owned by the administrators, not by whoever the token names (the user's own account, where
    // Windows is set so): an owner may always change the folder's DACL. Only a process that is no
    // administrator is refused that owner, and makes the folder with its default one.
    const std::wstring owned = std::wstring(L"O:BA") + kAdminFolderAccess;
    PSECURITY_DESCRIPTOR descriptor = nullptr, plain = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(owned.c_str(), SDDL_REVISION_1, &descriptor, nullptr) ||
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminFolderAccess, SDDL_REVISION_1, &plain, nullptr)) {
        LogCallFailed("ConvertStringSecurityDescriptorToSecurityDescriptorW", owned, ::GetLastError());
        ::LocalFree(descriptor);
        return false;
    }
    const UniqueLocalMemory ownedMemory(descriptor), plainMemory(plain);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring candidate = parent + prefix + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(attempt);
        if (::CreateDirectoryW(candidate.c_str(), &attributes)) {
            UniqueFile handle = OpenFolderHandle(candidate, true);
            if (!handle) {
                LogCallFailed("CreateFileW", candidate, ::GetLastError());
                ::RemoveDirectoryW(candidate.c_str());
                return false;
            }
            *path = candidate;
            *held = std::move(handle);
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) continue;
        if (error == ERROR_INVALID_OWNER && attributes.lpSecurityDescriptor != plain) {
            attributes.lpSecurityDescriptor = plain;
            continue;
        }
        LogCallFailed("CreateDirectoryW", candidate, error);
        return false;
    }
    LogCallFailed("CreateDirectoryW", parent + prefix + L"*", ERROR_ALREADY_EXISTS);
    return false;
}
