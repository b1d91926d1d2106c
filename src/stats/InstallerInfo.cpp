#include "stats/InstallerInfo.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <cstdint>
#include <ctime>
#include <cwchar>

#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/ReleasePins.h"

namespace {

constexpr wchar_t kSection[] = L"Platform";
constexpr wchar_t kDefaultVersion[] = L"1.0.6.30";
constexpr wchar_t kDefaultBuild[] = L"kavix2015083012_build";
constexpr wchar_t kDefaultEngine[] = L"0.9.8.4114";

std::wstring ReadSetting(const std::wstring& iniPath, const wchar_t* key, const wchar_t* fallback) {
    wchar_t value[255] = {};
    ::GetPrivateProfileStringW(kSection, key, fallback, value, 255, iniPath.c_str());
    return value;
}

void WriteString(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& text) {
    const UniqueRegKey key = OpenOrCreateProductKey(root, subkey);
    if (!key) return;  // nowhere to keep it: the value is simply not stored
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    // Best effort: a value that cannot be stored changes nothing for this run.
    ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
}

}  // namespace

InstallerInfo LoadInstallerInfo() noexcept {
    InstallerInfo info;
    // Runs before main: nothing may escape, whatever is built so far is kept.
    try {
        const std::wstring iniPath = ModuleDirectory() + L"\\" + kSettingsFileName;
        // Held while it is read: the file checked is the file read.
        const UniqueFile held = HoldForReading(iniPath);
        std::string found;
        if (CheckAgainst(held.get(), PinRequiredFor(kPinnedSettings), &found) == PinCheck::Differs) {
            info.settingsRefused = true;
        } else {
            const InstallerInfo settings = ReadInstallerSettings(iniPath);
            info.version = settings.version;
            info.build = settings.build;
            info.engine = settings.engine;
        }
        info.channel = DeriveChannel(FindInstallerProcessName());
        if (info.channel.empty()) info.channel = kNoChannel;
        SaveChannel(info.channel);
        SaveInstallTime();
    } catch (...) {
    }
    return info;
}

InstallerInfo ReadInstallerSettings(const std::wstring& iniPath) {
    InstallerInfo info;
    info.build = ReadSetting(iniPath, L"build", kDefaultBuild);
    info.version = ReadSetting(iniPath, L"version", kDefaultVersion);
    info.engine = ReadSetting(iniPath, L"engine", kDefaultEngine);
    return info;
}

std::wstring FindInstallerProcessName() {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
    if (!snapshot) return {};
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    // The first match in snapshot order is taken as this installer, even if it is another copy.
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        const wchar_t* name = entry.szExeFile;
        if (const wchar_t* slash = std::wcsrchr(name, L'\\')) name = slash + 1;
        if (std::wcsstr(name, kInstallerFilePrefix) != nullptr) return name;
    }
    return {};
}

std::wstring DeriveChannel(const std::wstring& exeFileName) {
    std::wstring channel;
    size_t index = 0;
    size_t pos = 0;
    while (pos < exeFileName.size()) {
        const size_t start = exeFileName.find_first_not_of(L'_', pos);
        if (start == std::wstring::npos) break;
        size_t end = exeFileName.find(L'_', start);
        if (end == std::wstring::npos) end = exeFileName.size();
        const std::wstring field = exeFileName.substr(start, end - start);
        pos = end;
        const size_t number = index++;
        // Fields 3 and 4 name the channel; a lower-case "hd" marks a package field, not a channel.
        if ((number != 3 && number != 4) || field.find(L"hd") != std::wstring::npos) continue;
        if (number == 4) channel += L'_';
        channel += field;
    }
    for (size_t at = channel.find(L".exe"); at != std::wstring::npos; at = channel.find(L".exe")) channel.erase(at, 4);
    return channel;
}

UniqueRegKey OpenOrCreateProductKey(HKEY root, const wchar_t* subkey) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, subkey, 0, KEY_ALL_ACCESS, key.out()) == ERROR_SUCCESS && key) return key;
    // Non-volatile: the client id kept here must outlive a restart of Windows. An existing key
    // was opened above and keeps its kind.
    if (::RegCreateKeyExW(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.out(),
                          nullptr) != ERROR_SUCCESS)
        key.reset();
    return key;
}

void SaveChannel(const std::wstring& channel, HKEY root, const wchar_t* subkey) {
    WriteString(root, subkey, L"Channel", channel);
}

void SaveInstallTime(HKEY root, const wchar_t* subkey) {
    // Only the low 32 bits, signed, as the readers of this value expect.
    const long seconds = static_cast<long>(static_cast<int32_t>(_time64(nullptr)));
    WriteString(root, subkey, L"InstallTime", std::to_wstring(seconds));
}

std::wstring ReadClientId(HKEY root, const wchar_t* subkey) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, subkey, 0, KEY_READ | KEY_WRITE, key.out()) != ERROR_SUCCESS) return {};
    // One spare character so text stored without its null still ends in one.
    wchar_t text[256] = {};
    DWORD bytes = 255 * sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"UUID", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &bytes) !=
        ERROR_SUCCESS)
        return {};  // missing, or too long to be ours
    return text;
}

std::wstring GetClientId(HKEY root, const wchar_t* subkey) {
    std::wstring id = ReadClientId(root, subkey);
    if (!id.empty()) return id;
    GUID guid;
    if (FAILED(::CoCreateGuid(&guid))) return {};  // this run reports without an id
    id = FormatClientId(guid);
    WriteString(root, subkey, L"UUID", id);
    return id;
}

std::wstring FormatClientId(const GUID& g) {
    wchar_t text[40] = {};
    std::swprintf(text, 40, L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned>(g.Data1),
                  static_cast<unsigned>(g.Data2), static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}
