#include "archive/PreviousInstall.h"

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <set>
#include <vector>

#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "archive/FolderRemoval.h"
#include "archive/HeldWay.h"
#include "archive/InstallList.h"
#include "archive/PayloadTargets.h"
#include "archive/Removal.h"
#include "archive/ZipReader.h"
#include "tasks/TaskBase.h"

namespace {

struct ServiceNamePattern {
    int firstSlot;
    int lastSlot;
    const wchar_t* first;
    const wchar_t* second;
};

// The short prefix belongs to the one-digit slots, the long one to the two-digit slots.
constexpr ServiceNamePattern kServiceNamePatterns[] = {
    {1, 9, L"Vexo_09080%d_VaDerizavUve", L"Vexo_22270%d_VaDerizavUve"},
    {10, 15, L"Vexo_090800%d_VaDerizavUve", L"Vexo_222700%d_VaDerizavUve"},
};
constexpr int kLastServiceSlot = 15;

constexpr const wchar_t* kProcessNames[] = {kEmulatorProcessName, kProductFolderName};
// The most the processes ended are waited for, all together.
constexpr DWORD kProcessEndWaitMs = 5000;

// Opens the service afresh and asks it to stop unless it already has; no wait.
void StopServiceOnce(const wchar_t* name, UniqueServiceHandle* manager, UniqueServiceHandle* service) {
    manager->reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!*manager) return;
    service->reset(::OpenServiceW(manager->get(), name, SERVICE_ALL_ACCESS));
    if (!*service) return;  // not installed: nothing to do
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service->get(), &status)) return;
    if (status.dwCurrentState != SERVICE_STOPPED) {
        ::ControlService(service->get(), SERVICE_CONTROL_STOP, &status);  // refusal is passed over
    }
}

void RemoveService(const wchar_t* name) {
    {
        UniqueServiceHandle manager, service;
        StopServiceOnce(name, &manager, &service);
    }
    UniqueServiceHandle manager, service;
    StopServiceOnce(name, &manager, &service);
    // A service still stopping is only marked, and goes once it has stopped.
    if (service) ::DeleteService(service.get());
}

// Names of the services installed now, upper-cased; false when they cannot be listed. Asking
// the service manager once spares the two round trips per absent name, which is nearly all
// of the thirty on a machine without an earlier installation.
bool InstalledServiceNames(std::set<std::wstring>* names) {
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) return false;
    std::vector<BYTE> buffer(64 * 1024);
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, count = 0;
        const BOOL ok = ::EnumServicesStatusW(manager.get(), SERVICE_WIN32 | SERVICE_DRIVER, SERVICE_STATE_ALL,
                                              reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data()),
                                              static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
        if (!ok && ::GetLastError() != ERROR_MORE_DATA) return false;
        const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            names->insert(FoldCase(entries[i].lpServiceName));
        }
        if (ok) return true;
        if (needed > buffer.size()) buffer.resize(needed);
    }
}

// Case-sensitive containment in the executable's file name; this process is spared even when
// its own name matches, or it would end itself before extracting anything. Those it could end
// are added to `ending`.
void EndProcessesNamed(const wchar_t* name, std::vector<UniqueHandle>* ending) {
    UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
    if (!snapshot) return;
    const DWORD self = ::GetCurrentProcessId();
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self || !std::wcsstr(entry.szExeFile, name)) continue;
        UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        // Without the right to wait, still ended, just not waited for.
        if (!process) process.reset(::OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        if (process && ::TerminateProcess(process.get(), 9)) ending->push_back(std::move(process));
    }
}

// Ending is asynchronous: until a process has gone, Windows keeps its program file from being
// deleted, and the files would stay behind.
void WaitForEnd(const std::vector<UniqueHandle>& ending) {
    const DWORD start = ::GetTickCount();
    for (const auto& process : ending) {
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= kProcessEndWaitMs) return;
        ::WaitForSingleObject(process.get(), kProcessEndWaitMs - spent);  // a failure is a handle without the right
    }
}

void TraceFailedDelete(const std::wstring& path) {
    if (!DeleteTree(path)) DebugTrace(L"failed to delete file");
}

}  // namespace

std::wstring PreviousServiceName(int slot, int which) {
    for (const auto& pattern : kServiceNamePatterns) {
        if (slot < pattern.firstSlot || slot > pattern.lastSlot) continue;
        if (which != 0 && which != 1) return {};
        wchar_t name[30] = {};
        std::swprintf(name, 30, which == 0 ? pattern.first : pattern.second, slot);
        return name;
    }
    return {};
}

bool HoldsAnything(std::wstring folder) {
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    WIN32_FIND_DATAW found;
    const UniqueFind search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    // A folder that cannot be listed may hold anything.
    if (!search) return !IsNotFound(::GetLastError());
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) return true;
    } while (::FindNextFileW(search.get(), &found));
    return false;
}


void EndProductServicesAndProcesses() {
    std::set<std::wstring> installed;
    const bool listed = InstalledServiceNames(&installed);
    for (int slot = 1; slot <= kLastServiceSlot; ++slot) {
        for (int which = 0; which < 2; ++which) {
            std::wstring name = PreviousServiceName(slot, which);
            // A name the list lacks could not be opened either: nothing would happen to it.
            if (listed && installed.count(FoldCase(name)) == 0) continue;
            RemoveService(name.c_str());
        }
    }
    std::vector<UniqueHandle> ending;
    for (const wchar_t* name : kProcessNames) EndProcessesNamed(name, &ending);
    WaitForEnd(ending);
}

void CleanPreviousInstall(const TaskBase& task) {
    EndProductServicesAndProcesses();
    // Only the product's folder goes whole; the files of an earlier installation in a folder of the
    // user's are moved aside instead (FilesAside).
    if (IsProductFolder(task.installPath)) TraceFailedDelete(task.installPath);
}
