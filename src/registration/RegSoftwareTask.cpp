#include "registration/RegSoftwareTask.h"

#include <shlwapi.h>

#include <algorithm>
#include <memory>

#include "base/Log.h"
#include "base/Owners.h"
#include "base/SystemApi.h"
#include "registration/PathInFolder.h"
#include "registration/Shortcuts.h"
#include "tasks/InstallMessages.h"

void RegSoftwareTask::Run() {
    CreateShortcuts(*this);
    PostProgress(mainWindow, progressBase + 10);
    WriteUninstallEntry(*this);
    PostProgress(mainWindow, progressBase + 20);
    ChainNext(successor_, progressBase + 20);
}

namespace {

void SetValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    const LONG result = ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    if (result != ERROR_SUCCESS) LogCallFailed("RegSetValueExW", name, static_cast<DWORD>(result));
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    // With its terminating null, as the uninstall list expects.
    SetValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) { SetValue(key, name, REG_DWORD, &value, sizeof value); }

}  // namespace

void WriteUninstallEntry(const TaskBase& task, HKEY root, const wchar_t* subkey) {
    // Non-volatile: the product must stay listed after a restart.
    UniqueRegKey key;
    const LONG created = ::RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                           key.out(), nullptr);
    if (created != ERROR_SUCCESS) {
        LogCallFailed("RegCreateKeyExW", subkey, static_cast<DWORD>(created));
        return;
    }

    const std::wstring emulator = task.installPath + kEmulatorFile;
    const std::wstring uninstaller = task.installPath + kUninstallerFile;
    const std::wstring version = GetEmulatorVersion(task);

    SetString(key.get(), L"DisplayName", kProductDisplayName);
    SetDword(key.get(), L"NoModify", 1);
    SetDword(key.get(), L"NoRepair", 1);
    SetString(key.get(), L"Publisher", kProductDisplayName);
    SetString(key.get(), L"DisplayIcon", emulator);
    SetString(key.get(), L"DisplayVersion", version);
    // Quoted: unquoted, a path with blanks outside Program Files ("C:\Users\x\My Apps\kavix\...")
    // would have the shell start "C:\Users\x\My.exe" first, a file that user may write.
    SetString(key.get(), L"UninstallString", L"\"" + uninstaller + L"\"");
}

namespace {

// A text value, or empty when it is missing or not text.
std::wstring ReadText(HKEY key, const wchar_t* name) {
    DWORD type = 0, bytes = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &bytes) != ERROR_SUCCESS)
        return {};
    text.resize(std::min<size_t>(text.size(), bytes / sizeof(wchar_t)));
    // Stored with or without its terminator.
    return text.substr(0, text.find(L'\0'));
}

}  // namespace

bool DeleteUninstallEntry(const std::wstring& installPath, HKEY root, const wchar_t* subkey) {
    UniqueRegKey key;
    const LONG opened = ::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, key.out());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) {
        LogCallFailed("RegOpenKeyExW", subkey, static_cast<DWORD>(opened));
        return false;
    }
    // The installation in another folder that wrote it last keeps it: it is its only way out.
    std::wstring program = ReadText(key.get(), L"UninstallString");
    if (program.empty()) program = ReadText(key.get(), L"DisplayIcon");
    key.reset();
    if (!PathLiesInFolder(program, installPath)) {
        LogFormatW(g_log, L"uninstall entry %s kept: it names %s, not %s", subkey, program.c_str(),
                   installPath.c_str());
        return true;
    }
    // With any subkey someone added: RegDeleteKeyW would refuse the key and leave it listed.
    const DWORD result = ::SHDeleteKeyW(root, subkey);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return true;
    LogCallFailed("SHDeleteKeyW", subkey, result);
    return false;
}

std::wstring GetEmulatorVersion(const TaskBase& task) {
    const std::wstring path = task.installPath + kEmulatorFile;
    std::wstring result = kFallbackEmulatorVersion;

    DWORD ignored = 0;
    const DWORD size = VEXO_SYSTEM_CALL(Version, GetFileVersionInfoSizeW)(path.c_str(), &ignored);
    if (size == 0) return result;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
    if (!block) return result;

    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VEXO_SYSTEM_CALL(Version, GetFileVersionInfoW)(path.c_str(), 0, size, block.get()) ||
        !VEXO_SYSTEM_CALL(Version, VerQueryValueW)(block.get(), L"\\", reinterpret_cast<void**>(&info), &length) || length == 0 ||
        info == nullptr || info->dwSignature != 0xFEEF04BD)
        return result;

    // Whole 16-bit words on every Windows: cutting them to 8 bits under WOW64 would show 300 as 44.
    const unsigned major = HIWORD(info->dwProductVersionMS);
    const unsigned minor = LOWORD(info->dwProductVersionMS);
    const unsigned build = HIWORD(info->dwProductVersionLS);
    const unsigned revision = LOWORD(info->dwProductVersionLS);
    DebugTrace(L"File Version: %d.%d.%d.%d\n", major, minor, build, revision);
    wchar_t text[64];
    swprintf(text, 64, L" %d.%d.%d.%d", major, minor, build, revision);
    return text;
}

BOOL IsWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto query = SystemFunctionAs<IsWow64ProcessFn>(SystemFunction::IsWow64Process);
    BOOL wow64 = FALSE;
    if (query != nullptr && !query(::GetCurrentProcess(), &wow64)) return FALSE;
    return wow64;
}
