#include "TestFiles.h"

#include <shlobj.h>

#include "base/AdminFolder.h"
#include "base/Owners.h"
#include "base/Sha256.h"

std::wstring WinPathFromEnv(const wchar_t* variable) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(variable, buffer, 1024);
    if (n == 0 || n >= 1024) return L"";
    std::wstring path = L"Z:";
    path += buffer;
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

std::wstring FreshScratch(const std::wstring& name) {
    const std::wstring root = WinPathFromEnv(L"VEXO_TEST_TMP");
    CreateDirectoryW(root.c_str(), nullptr);
    const std::wstring path = root + L"\\" + name;
    RemoveTree(path);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((path + L"\\*").c_str(), &fd));
    if (find) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find.get(), &fd));
    }
    find.reset();
    RemoveDirectoryW(path.c_str());
}

bool ReadWholeFile(const std::wstring& path, std::string* data) {
    // Shared for writing too: the tests read files their code under test still holds open.
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    data->clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) data->append(buffer, got);
    return true;
}

std::string Sha256OfFile(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    Sha256Digest digest = {};
    return file && HashRest(file.get(), &digest) ? ToHex(digest) : std::string();
}

bool WriteWholeFile(const std::wstring& path, const std::string& data) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

bool MarkFrameworkPresent() {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client", 0,
                          nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD one = 1;
    const bool set =
        ::RegSetValueExW(key, L"Install", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one) == ERROR_SUCCESS;
    ::RegCloseKey(key);
    return set;
}

std::wstring CommonAppData() {
    wchar_t path[MAX_PATH] = {};
    return SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)) ? path : L"";
}

bool RestartDeletionsInCommonAppData() {
    std::wstring folder;
    UniqueFile held;
    if (!MakeAdminFolder(CommonAppData() + L"\\", L"vexo-test-", &folder, &held)) return false;
    const bool restart = OnlyAdministratorsChange(folder);
    held.reset();
    RemoveDirectoryW(folder.c_str());
    return restart;
}

DWORD PendingAtRestartBytes() {
    UniqueRegKey key;
    DWORD bytes = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                      key.out()) != ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return 0;
    return bytes;
}
