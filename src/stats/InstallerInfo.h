#pragma once
// Who this installer is: version, build, engine, channel and the per-user client id that
// every statistics report carries.

#include <windows.h>

#include <string>

#include "base/Owners.h"
#include "base/Product.h"

struct InstallerInfo {
    std::wstring commonFields;  // system facts as a JSON fragment, filled by the first report
    std::wstring version;
    std::wstring build;
    std::wstring channel;
    std::wstring engine;
    // installer.ini is not the one the release pinned: it was not read, and the installer must not
    // go on (the defaults above are not to be reported either).
    bool settingsRefused = false;
};

// Built during static initialisation, before the entry point; never destroyed (see Globals.cpp).
extern InstallerInfo& g_installerInfo;

// Section "Platform" of this file beside the executable overrides version, build and engine.
constexpr wchar_t kSettingsFileName[] = L"installer.ini";
constexpr wchar_t kNoChannel[] = L"ot";

// The record for this process: settings beside the executable (when they are the release's own),
// the channel from the running
// installer's file name; writes "Channel" and "InstallTime" under the product key. Never fails:
// anything that cannot be read or written leaves the defaults.
InstallerInfo LoadInstallerInfo() noexcept;

// version, build and engine from the settings file at iniPath (defaults when missing); a key
// present with an empty value gives an empty field.
InstallerInfo ReadInstallerSettings(const std::wstring& iniPath);

// File name (no folder) of the first process in the system snapshot whose name contains
// "Vexosetup", case-sensitive; empty when there is none.
std::wstring FindInstallerProcessName();
// The channel encoded in an installer file name such as "Vexosetup_1.0.6.30_full_web_07.exe"
// ("web_07"); empty when the name carries none.
std::wstring DeriveChannel(const std::wstring& exeFileName);

// Opens the key, or creates it when missing; null when neither works.
UniqueRegKey OpenOrCreateProductKey(HKEY root, const wchar_t* subkey);
void SaveChannel(const std::wstring& channel, HKEY root = HKEY_CURRENT_USER, const wchar_t* subkey = kProductKey);
// Now, in seconds since 1970 (UTC), as a decimal REG_SZ.
void SaveInstallTime(HKEY root = HKEY_CURRENT_USER, const wchar_t* subkey = kProductKey);

// The stored "UUID" text as it is, or empty.
std::wstring ReadClientId(HKEY root = HKEY_CURRENT_USER, const wchar_t* subkey = kProductKey);
// The stored identifier, or a new one that is stored for later runs; empty only when no GUID
// could be made.
std::wstring GetClientId(HKEY root = HKEY_CURRENT_USER, const wchar_t* subkey = kProductKey);
// Lower-case hex, no braces: "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx".
std::wstring FormatClientId(const GUID& guid);
