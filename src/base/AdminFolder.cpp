#include "base/AdminFolder.h"

#include <sddl.h>

#include "base/Log.h"

namespace {

// The folder itself, never what a link in its place leads to.
UniqueFile HoldFolder(const std::wstring& path) {
    return UniqueFile(::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace

bool MakeAdminFolder(const std::wstring& parent, const std::wstring& prefix, std::wstring* path, UniqueFile* held) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminFolderAccess, SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        LogCallFailed("ConvertStringSecurityDescriptorToSecurityDescriptorW", kAdminFolderAccess, ::GetLastError());
        return false;
    }
    const UniqueLocalMemory owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring candidate = parent + prefix + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(::GetTickCount()) + L"-" + std::to_wstring(attempt);
        if (::CreateDirectoryW(candidate.c_str(), &attributes)) {
            UniqueFile handle = HoldFolder(candidate);
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
        LogCallFailed("CreateDirectoryW", candidate, error);
        return false;
    }
    LogCallFailed("CreateDirectoryW", parent + prefix + L"*", ERROR_ALREADY_EXISTS);
    return false;
}
