#include "registration/Shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "base/FileInFolder.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "registration/PathInFolder.h"
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

// Where the links go, the same for writing and for deleting them.
struct LinkPlaces {
    std::wstring desktop;
    std::wstring startMenu;  // the product's own folder in the programs menu
};

LinkPlaces LocateLinks() {
    LinkPlaces places;
    places.desktop = SpecialFolder(CSIDL_DESKTOP);
    const std::wstring programs = SpecialFolder(CSIDL_PROGRAMS);
    if (!programs.empty()) places.startMenu = programs + L"\\" + kProductDisplayName;
    return places;
}

// The link's target, or empty (logged) when it cannot be read. From the item list the shell keeps:
// Wine's GetPath gives the target in the ANSI code page, Chinese names as '?'.
std::wstring LinkTarget(const std::wstring& path) {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    const char* call = "CoCreateInstance";
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out());
    if (SUCCEEDED(hr)) {
        call = "QueryInterface";
        hr = link->QueryInterface(IID_IPersistFile, file.out());
    }
    if (SUCCEEDED(hr)) {
        call = "IPersistFile::Load";
        hr = file->Load(path.c_str(), STGM_READ);
    }
    if (FAILED(hr)) {
        LogCallFailed(call, path, static_cast<DWORD>(hr));
        return {};
    }
    wchar_t target[MAX_PATH] = {};
    LPITEMIDLIST items = nullptr;
    if (SUCCEEDED(link->GetIDList(&items)) && items != nullptr) {
        const UniqueCoTaskMemory owner(items);
        if (::SHGetPathFromIDListW(items, target)) return target;
    }
    hr = link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    if (FAILED(hr) || target[0] == L'\0') LogCallFailed("IShellLinkW::GetPath", path, static_cast<DWORD>(hr));
    return target;
}

// True when the link is not there (any more), or is another installation's and stays.
bool DeleteOwnLink(const std::wstring& folder, const std::wstring& name, const std::wstring& installPath) {
    if (folder.empty()) return false;  // its look-up failed and was logged
    const std::wstring path = folder + L"\\" + name;
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    }
    // One that cannot be read may be anyone's: it stays, and says so.
    const std::wstring target = LinkTarget(path);
    if (target.empty()) return false;
    if (!PathLiesInFolder(target, installPath)) {
        LogFormatW(g_log, L"%s kept: it starts %s, not in %s", path.c_str(), target.c_str(), installPath.c_str());
        return true;
    }
    if (::DeleteFileW(path.c_str())) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    LogCallFailed("DeleteFileW", path, error);
    return false;
}

}  // namespace

std::wstring EmulatorLinkName() { return std::wstring(kProductDisplayName) + L".lnk"; }
std::wstring UninstallerLinkName() { return std::wstring(L"卸载") + kProductDisplayName + L".lnk"; }

bool CreateShellLink(const std::wstring& target, const std::wstring& folder, const wchar_t* description,
                     const std::wstring& linkFileName, bool folderIsOurs) {
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
    ComPtr<IPersistStream> persist;
    hr = link->QueryInterface(IID_IPersistStream, persist.out());
    if (FAILED(hr)) {
        LogCallFailed("QueryInterface", linkPath, static_cast<DWORD>(hr));
        return false;
    }

    link->SetPath(target.c_str());
    if (description != nullptr) link->SetDescription(description);
    link->SetShowCmd(SW_SHOWNORMAL);
    // Into memory, then into a file of its own made by name in the held folder: the user's desktop
    // and menu are the user's to write, and saved by path the link would go through whatever link
    // or second name of another file a program of the user's put at its name.
    ComPtr<IStream> memory;
    hr = ::CreateStreamOnHGlobal(nullptr, TRUE, reinterpret_cast<IStream**>(memory.out()));
    if (SUCCEEDED(hr)) hr = persist->Save(memory.get(), TRUE);
    HGLOBAL bytes = nullptr;
    if (SUCCEEDED(hr)) hr = ::GetHGlobalFromStream(memory.get(), &bytes);
    STATSTG stat = {};
    if (SUCCEEDED(hr)) hr = memory->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) {
        LogCallFailed("IPersistStream::Save", linkPath, static_cast<DWORD>(hr));
        return false;
    }
    // The menu folder is one the installer made, in the user's menu: should a link have taken its
    // place, the links would go wherever it leads. (The desktop itself may be a link of the user's.)
    const HeldFolder held(folder, folderIsOurs);
    const UniqueFile file = held ? OpenFileIn(held, linkFileName, FileIn::kReplace, GENERIC_WRITE, 0) : UniqueFile();
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(stat.cbSize.QuadPart);
    const void* data = ::GlobalLock(bytes);
    const bool wrote = file && data != nullptr && ::WriteFile(file.get(), data, size, &written, nullptr) && written == size;
    const DWORD error = wrote ? ERROR_SUCCESS : ::GetLastError();
    if (data != nullptr) ::GlobalUnlock(bytes);
    if (!wrote) {
        // As the shell's own save reported it.
        LogCallFailed("IPersistFile::Save", linkPath,
                      static_cast<DWORD>(HRESULT_FROM_WIN32(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT)));
        if (file) RemoveNameIn(held.get(), held.path(), linkFileName);
        return false;
    }
    return true;
}

void CreateShortcuts(const TaskBase& task) {
    const std::wstring emulator = task.installPath + kEmulatorFile;
    const std::wstring uninstaller = task.installPath + kUninstallerFile;

    const LinkPlaces places = LocateLinks();
    // A failure shows when the links in it are saved.
    if (!places.startMenu.empty() && !::PathFileExistsW(places.startMenu.c_str()) &&
        !::CreateDirectoryW(places.startMenu.c_str(), nullptr))
        LogCallFailed("CreateDirectoryW", places.startMenu, ::GetLastError());

    const ComScope com;
    CreateShellLink(emulator, places.desktop, kProductDisplayName, EmulatorLinkName());
    CreateShellLink(emulator, places.startMenu, kProductDisplayName, EmulatorLinkName(), true);
    CreateShellLink(uninstaller, places.startMenu, kUninstallerDisplayName, UninstallerLinkName(), true);
}

bool RemoveShortcuts(const std::wstring& installPath) {
    const LinkPlaces places = LocateLinks();
    const ComScope com;
    bool gone = DeleteOwnLink(places.desktop, EmulatorLinkName(), installPath);
    gone &= DeleteOwnLink(places.startMenu, EmulatorLinkName(), installPath);
    gone &= DeleteOwnLink(places.startMenu, UninstallerLinkName(), installPath);
    if (!places.startMenu.empty() && ::PathFileExistsW(places.startMenu.c_str()) &&
        !::RemoveDirectoryW(places.startMenu.c_str())) {
        const DWORD error = ::GetLastError();
        // Whatever else the user keeps in the folder keeps it.
        if (error != ERROR_DIR_NOT_EMPTY) {
            LogCallFailed("RemoveDirectoryW", places.startMenu, error);
            gone = false;
        }
    }
    return gone;
}
