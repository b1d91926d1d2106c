#include "registration/Shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "tasks/TaskBase.h"

namespace {

// A special folder of the current user, or empty when it cannot be located.
std::wstring SpecialFolder(int csidl) {
    LPITEMIDLIST items = nullptr;
    if (FAILED(::SHGetSpecialFolderLocation(nullptr, csidl, &items)) || items == nullptr) return {};
    wchar_t path[MAX_PATH] = {};
    const BOOL converted = ::SHGetPathFromIDListW(items, path);
    ::CoTaskMemFree(items);
    return converted ? std::wstring(path) : std::wstring();
}

template <typename T>
struct ComRelease {
    T* p = nullptr;
    ~ComRelease() {
        if (p != nullptr) p->Release();
    }
};

}  // namespace

bool CreateShellLink(const std::wstring& target, const std::wstring& folder, const wchar_t* description,
                     const std::wstring& linkFileName) {
    // Folder, separator, name and terminator must fit a MAX_PATH buffer, as the shell expects.
    const std::wstring linkPath = folder + L"\\" + linkFileName;
    if (folder.empty() || linkPath.size() + 1 > MAX_PATH) return false;

    ComRelease<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(&link.p))))
        return false;
    ComRelease<IPersistFile> file;
    if (FAILED(link.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.p)))) return false;

    link.p->SetPath(target.c_str());
    if (description != nullptr) link.p->SetDescription(description);
    link.p->SetShowCmd(SW_SHOWNORMAL);
    return SUCCEEDED(file.p->Save(linkPath.c_str(), TRUE));
}

void CreateShortcuts(const TaskBase& task) {
    const std::wstring emulator = task.installPath + L"\\ZavozidaDedor.exe";
    const std::wstring uninstaller = task.installPath + L"\\Uninstaller.exe";

    const std::wstring programs = SpecialFolder(CSIDL_PROGRAMS);
    std::wstring startMenu;
    if (!programs.empty()) {
        startMenu = programs + L"\\" + kProductDisplayName;
        if (!::PathFileExistsW(startMenu.c_str())) ::CreateDirectoryW(startMenu.c_str(), nullptr);
    }

    const HRESULT com = ::CoInitialize(nullptr);
    const std::wstring desktop = SpecialFolder(CSIDL_DESKTOP);
    const std::wstring linkName = std::wstring(kProductDisplayName) + L".lnk";
    CreateShellLink(emulator, desktop, kProductDisplayName, linkName);
    CreateShellLink(emulator, startMenu, kProductDisplayName, linkName);
    CreateShellLink(uninstaller, startMenu, L"Vexo模拟器卸载程序", L"卸载Vexo模拟器.lnk");
    // Balanced only when this call initialised COM (S_FALSE counts too; a mode change does not).
    if (SUCCEEDED(com)) ::CoUninitialize();
}
