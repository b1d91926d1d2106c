#include "prereq/OsVersion.h"

#include <windows.h>

#include <cwchar>

#include "base/Log.h"
#include "base/Owners.h"
#include "base/SystemApi.h"

namespace {

constexpr wchar_t kCurrentVersionKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
// Bytes, not characters: long product names are refused rather than cut.
constexpr DWORD kReadLimitBytes = 260;

using NativeSystemInfoProc = void(WINAPI*)(LPSYSTEM_INFO);

// version: null when the version text is not looked at (Windows 10).
bool IsEdition(const wchar_t* checkName, const wchar_t* product, const wchar_t* version, int bits) {
    LogFormatW(g_log, L"%s1", checkName);
    bool result = false;
    wchar_t productName[kCurrentVersionBufferChars] = {};
    wchar_t currentVersion[kCurrentVersionBufferChars] = {};
    if (ReadCurrentVersionValue(L"ProductName", productName) &&
        ReadCurrentVersionValue(L"CurrentVersion", currentVersion)) {
        LogFormatW(g_log, L"current product %s and version %s", productName, currentVersion);
        // Bitness last: it is only asked once the texts matched.
        result = std::wcsstr(productName, product) != nullptr &&
                 (version == nullptr || std::wcsstr(currentVersion, version) != nullptr) && GetSystemBits() == bits;
    }
    LogFormatW(g_log, L"%s2", checkName);
    return result;
}

}  // namespace

std::wstring GetOsTag() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;  // 276
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // Deliberately unmanifested: the answer is capped at 6.2, which the tags rely on.
    ::GetVersionExW(&info);
#pragma GCC diagnostic pop
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT) return {};
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 1) return L"windows_XP";
    if (info.dwMajorVersion == 6) return info.dwMinorVersion == 2 ? L"windows_8" : L"windows_7";
    return {};
}

int GetSystemBits() {
    SYSTEM_INFO info = {};
    const auto native = SystemFunctionAs<NativeSystemInfoProc>(SystemFunction::GetNativeSystemInfo);
    if (native != nullptr) {
        native(&info);
    } else {
        ::GetSystemInfo(&info);
    }
    const WORD arch = info.wProcessorArchitecture;
    return arch == PROCESSOR_ARCHITECTURE_AMD64 || arch == PROCESSOR_ARCHITECTURE_IA64 ? 64 : 32;
}

bool ReadCurrentVersionValue(const wchar_t* name, wchar_t* buffer) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return false;
    DWORD bytes = kReadLimitBytes;
    if (::RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return false;
    // Registry text need not end in a null: terminate it (at most at character 130 of 260).
    buffer[bytes / sizeof(wchar_t)] = L'\0';
    return true;
}

bool IsWindows832Bit() { return IsEdition(L"IsWindows832Bit", L"Windows 8", L"6.2", 32); }
bool IsWindows864Bit() { return IsEdition(L"IsWindows864Bit", L"Windows 8", L"6.2", 64); }
bool IsWindows8132Bit() { return IsEdition(L"IsWindows8132Bit", L"Windows 8", L"6.3", 32); }
bool IsWindows8164Bit() { return IsEdition(L"IsWindows8164Bit", L"Windows 8", L"6.3", 64); }
bool IsWindows1032Bit() { return IsEdition(L"IsWindows1032Bit", L"Windows 10", nullptr, 32); }
bool IsWindows1064Bit() { return IsEdition(L"IsWindows1064Bit", L"Windows 10", nullptr, 64); }
