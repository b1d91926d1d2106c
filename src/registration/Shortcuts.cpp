#include "registration/Shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "tasks/TaskBase.h"

namespace {

// A special folder of the current user, or empty (and a log line) when it cannot be located.
std::wstring SpecialFolder(int csidl) {
    LPITEMIDLIST items = nullptr;
    const HRESULT found = ::SHGetSpecialFolderLocation(nullptr, csidl, &items);
    const UniqueCoTaskMemory owner(items);
    const std::wstring what = L"special folder " + std::to_wstring(csidl);
    if (FAILED(found) || items == nullptr) {
        LogCallFailed("SHGetSpecialFolderLocation", what, static_cast<DWORD>(found));
        return {};
    }
    wchar_t path[MAX_PATH] = {};
    if (!::SHGetPathFromIDListW(items, path)) {
        LogCallFailed("SHGetPathFromIDListW", what, ::GetLastError());
        return {};
    }
    return path;
}

}  // namespace

bool CreateShellLink(const std::wstring& target, const std::wstring& folder, const wchar_t* description,
                     const std::wstring& linkFileName) {
    // Folder, separator, name and terminator must fit a MAX_PATH buffer, as the shell expects.
    const std::wstring linkPath = folder + L"\\" + linkFileName;
    if (folder.empty()) return false;  // its look-up failed and was logged
    if (linkPath.size() + 1 > MAX_PATH) {
        LogCallFailed("CreateShellLink", linkPath, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    ComPtr<IShellLinkW> link;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out());
    if (FAILED(hr)) {
        LogCallFailed("CoCreateInstance", linkPath, static_cast<DWORD>(hr));
        return false;
    }
    ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, file.out());
    if (FAILED(hr)) {
        LogCallFailed("QueryInterface", linkPath, static_cast<DWORD>(hr));
        return false;
    }

    link->SetPath(target.c_str());
    if (description != nullptr) link->SetDescription(description);
    link->SetShowCmd(SW_SHOWNORMAL);
    hr = file->Save(linkPath.c_str(), TRUE);
    if (FAILED(hr)) {
        LogCallFailed("IPersistFile::Save", linkPath, static_cast<DWORD>(hr));
        return false;
    }
    return true;
}

void CreateShortcuts(const TaskBase& task) {
    const std::wstring emulator = task.installPath + kEmulatorFile;
    const std::wstring uninstaller = task.installPath + kUninstallerFile;

    const std::wstring programs = SpecialFolder(CSIDL_PROGRAMS);
    std::wstring startMenu;
    if (!programs.empty()) {
        startMenu = programs + L"\\" + kProductDisplayName;
        // A failure shows when the links in it are saved.
        if (!::PathFileExistsW(startMenu.c_str()) && !::CreateDirectoryW(startMenu.c_str(), nullptr))
            LogCallFailed("CreateDirectoryW", startMenu, ::GetLastError());
    }

    const ComScope com;
    const std::wstring desktop = SpecialFolder(CSIDL_DESKTOP);
    const std::wstring linkName = std::wstring(kProductDisplayName) + L".lnk";
    CreateShellLink(emulator, desktop, kProductDisplayName, linkName);
    CreateShellLink(emulator, startMenu, kProductDisplayName, linkName);
    CreateShellLink(uninstaller, startMenu, kUninstallerDisplayName,
                    std::wstring(L"卸载") + kProductDisplayName + L".lnk");
}
