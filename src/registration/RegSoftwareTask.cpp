#include "registration/RegSoftwareTask.h"

#include <memory>

#include "app/Log.h"
#include "app/ScopedHandle.h"
#include "prereq/RunVCTask.h"
#include "registration/Shortcuts.h"
#include "tasks/InstallMessages.h"

TaskBase* MakeRegSoftwareTask(HWND window, int32_t progressBase) {
    auto* task = new RegSoftwareTask(window);
    task->progressBase = progressBase;
    return task;
}

void RegSoftwareTask::Run() {
    CreateShortcuts(*this);
    PostProgress(mainWindow, progressBase + 10);
    WriteUninstallEntry(*this);
    PostProgress(mainWindow, progressBase + 20);

    auto* runtime = new RunVCTask(mainWindow);
    runtime->SetInstallPath(installPath);
    runtime->progressBase = progressBase + 20;
    next = runtime;
}

namespace {

void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    // With its terminating null, as the uninstall list expects.
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) {
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

void WriteUninstallEntry(const TaskBase& task, HKEY root, const wchar_t* subkey) {
    // Non-volatile: the product must stay listed after a restart.
    UniqueRegKey key;
    if (::RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.out(),
                          nullptr) != ERROR_SUCCESS)
        return;

    const std::wstring emulator = task.installPath + L"\\ZavozidaDedor.exe";
    const std::wstring uninstaller = task.installPath + L"\\Uninstaller.exe";
    const std::wstring version = GetEmulatorVersion(task);

    SetString(key.get(), L"DisplayName", L"Vexo模拟器");
    SetDword(key.get(), L"NoModify", 1);
    SetDword(key.get(), L"NoRepair", 1);
    SetString(key.get(), L"Publisher", L"Vexo模拟器");
    SetString(key.get(), L"DisplayIcon", emulator);
    SetString(key.get(), L"DisplayVersion", version);
    SetString(key.get(), L"UninstallString", uninstaller);
}

std::wstring GetEmulatorVersion(const TaskBase& task) {
    const std::wstring path = task.installPath + L"\\ZavozidaDedor.exe";
    std::wstring result = kFallbackEmulatorVersion;

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return result;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
    if (!block) return result;

    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.get()) ||
        !::VerQueryValueW(block.get(), L"\\", reinterpret_cast<void**>(&info), &length) || length == 0 ||
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
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    const auto query = kernel ? reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process"))) : nullptr;
    BOOL wow64 = FALSE;
    if (query != nullptr && !query(::GetCurrentProcess(), &wow64)) return FALSE;
    return wow64;
}
