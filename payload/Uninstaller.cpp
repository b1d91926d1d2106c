// The product's uninstaller. Started from the install folder it asks first (unless /S), then runs
// a copy of itself from the temp folder, since a running program's folder cannot be deleted. The
// copy ends the product's services and processes as the installer's cleanup does, removes the
// links, the uninstall entry and what the installation listed (install.lst), and is deleted at
// the next restart.
//
//   Uninstaller.exe [/S]                           as registered
//   <copy> [/S] [/W=<handle>] "<install folder>"   the copy; /W: the original, to wait for
//
// Exit code: 0 all gone, 1 something left (the log in the temp folder says what), 2 declined by
// the user, 3 nothing done. Silent, the original waits for the copy and returns its code; in a
// window it ends once the copy runs, and the copy waits for that before it starts.

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>
#include <shlwapi.h>

#include <cstdint>
#include <cwchar>
#include <map>
#include <string>

#include "archive/InstallList.h"
#include "archive/PreviousInstall.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/SystemApi.h"
#include "registration/RegSoftwareTask.h"
#include "registration/Shortcuts.h"

// The process-wide log, which the installer defines in its own Globals.cpp.
std::map<std::string, CLog*> g_logRegistry;
CLog* g_log = nullptr;

namespace {

enum ExitCode : int { kAllGone = 0, kSomethingLeft = 1, kDeclined = 2, kNothingDone = 3 };

// Should the original not end by then, its file is moved out of the folder instead.
constexpr DWORD kOriginalEndWaitMs = 30000;
// Far above this program's size: anything bigger is not it.
constexpr LONGLONG kMaxImageBytes = 64 * 1024 * 1024;

struct Arguments {
    bool valid = true;
    bool silent = false;
    std::wstring installPath;  // the copy's only
    UniqueHandle original;     // the copy's, in a window: inherited from the original
};

Arguments ParseArguments() {
    Arguments args;
    int count = 0;
    const UniqueArgList argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!argv) {
        LogCallFailed("CommandLineToArgvW", ::GetCommandLineW(), ::GetLastError());
        args.valid = false;
        return args;
    }
    for (int i = 1; i < count; ++i) {
        const std::wstring arg = argv.get()[i];
        if (::lstrcmpiW(arg.c_str(), L"/S") == 0) {
            args.silent = true;
        } else if (arg.compare(0, 3, L"/W=") == 0 && !args.original) {
            wchar_t* end = nullptr;
            const unsigned long value = std::wcstoul(arg.c_str() + 3, &end, 10);
            args.original.reset(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)));
            args.valid = args.valid && value != 0 && *end == L'\0';
        } else if (::PathIsRelativeW(arg.c_str()) || !args.installPath.empty()) {
            // Only a whole path: a stray word would otherwise uninstall without asking.
            args.valid = false;
        } else {
            args.installPath = arg;
        }
    }
    // A handle means something only to a copy its original started.
    if (args.original && args.installPath.empty()) args.valid = false;
    if (!args.valid) LogCallFailed("ParseArguments", ::GetCommandLineW(), ERROR_BAD_ARGUMENTS);
    return args;
}

// The user's temp folder with its trailing backslash, or empty.
std::wstring TempFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return length == 0 || length > MAX_PATH ? std::wstring() : std::wstring(temp, length);
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(path, length);
}

bool ReadAll(HANDLE file, std::string* data) {
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart > kMaxImageBytes) return false;
    data->assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return data->empty() ||
           (::ReadFile(file, &(*data)[0], static_cast<DWORD>(data->size()), &read, nullptr) && read == data->size());
}

// Writes this program to a new file in the temp folder and holds it open for reading, shared for
// reading only, until it has started: the copy runs with this program's rights, and the user's
// temp folder is open to every program the user runs. Read back, as it could change between the
// writing and the holding.
bool MakeTempCopy(const std::wstring& temp, std::wstring* copyPath, UniqueFile* held) {
    const std::wstring self = OwnPath();
    UniqueFile image(::CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string program;
    if (!image || !ReadAll(image.get(), &program)) {
        LogCallFailed("ReadFile", self, ::GetLastError());
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring path = temp + L"Uninstaller-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(attempt) + L".exe";
        UniqueFile out(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            LogCallFailed("CreateFileW", path, error);
            return false;
        }
        DWORD written = 0;
        const BOOL wrote =
            ::WriteFile(out.get(), program.data(), static_cast<DWORD>(program.size()), &written, nullptr);
        const DWORD writeError = wrote ? ERROR_HANDLE_DISK_FULL : ::GetLastError();
        out.reset();
        std::string copied;
        if (wrote && written == program.size()) {
            held->reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            if (*held && ReadAll(held->get(), &copied) && copied == program) {
                *copyPath = path;
                return true;
            }
            LogCallFailed("ReadFile", path, *held ? ERROR_FILE_INVALID : ::GetLastError());
        } else {
            LogCallFailed("WriteFile", path, writeError);
        }
        held->reset();
        ::DeleteFileW(path.c_str());
        return false;
    }
    LogCallFailed("CreateFileW", temp + L"Uninstaller-*.exe", ERROR_FILE_EXISTS);
    return false;
}

// Started in the temp folder, so that no process of ours has its current folder in the install folder.
UniqueHandle StartCopy(const std::wstring& copyPath, const std::wstring& temp, const std::wstring& installPath,
                       bool silent, HANDLE original) {
    std::wstring commandLine = L"\"" + copyPath + L"\"";
    if (silent) commandLine += L" /S";
    if (original != nullptr) commandLine += L" /W=" + std::to_wstring(reinterpret_cast<uintptr_t>(original));
    commandLine += L" \"" + installPath + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(copyPath.c_str(), &commandLine[0], nullptr, nullptr, original != nullptr, 0, nullptr,
                          temp.c_str(), &startup, &started)) {
        LogCallFailed("CreateProcessW", copyPath, ::GetLastError());
        return UniqueHandle();
    }
    const UniqueHandle thread(started.hThread);
    return UniqueHandle(started.hProcess);
}

int RunOriginal(const Arguments& args) {
    const std::wstring installPath = ModuleDirectory();
    const std::wstring temp = TempFolder();
    if (installPath.empty() || temp.empty()) {
        LogCallFailed(installPath.empty() ? "GetModuleFileNameW" : "GetTempPathW", installPath, ERROR_PATH_NOT_FOUND);
        return kNothingDone;
    }
    if (!args.silent &&
        ::MessageBoxW(nullptr, kUninstallConfirmText, kUninstallerDisplayName, MB_OKCANCEL | MB_SETFOREGROUND) != IDOK)
        return kDeclined;
    // A current folder inside the install folder would keep it from being deleted.
    if (!::SetCurrentDirectoryW(temp.c_str())) LogCallFailed("SetCurrentDirectoryW", temp, ::GetLastError());

    std::wstring copyPath;
    UniqueFile held;
    if (!MakeTempCopy(temp, &copyPath, &held)) return kNothingDone;
    // In a window this process ends at once and the copy waits for that; silent, it waits for
    // the copy instead, to return its code.
    UniqueHandle self;
    if (!args.silent && !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                                           self.out(), SYNCHRONIZE, TRUE, 0))
        LogCallFailed("DuplicateHandle", copyPath, ::GetLastError());
    const UniqueHandle copy = StartCopy(copyPath, temp, installPath, args.silent, self.get());
    held.reset();
    if (!copy) {
        ::DeleteFileW(copyPath.c_str());
        return kNothingDone;
    }
    if (!args.silent) return kAllGone;
    DWORD code = kSomethingLeft;
    if (::WaitForSingleObject(copy.get(), INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(copy.get(), &code)) {
        LogCallFailed("WaitForSingleObject", copyPath, ::GetLastError());
        return kSomethingLeft;
    }
    return static_cast<int>(code);
}

int RunCopy(Arguments* args) {
    if (args->original) {
        if (::WaitForSingleObject(args->original.get(), kOriginalEndWaitMs) == WAIT_FAILED)
            LogCallFailed("WaitForSingleObject", L"the uninstaller started from the install folder", ::GetLastError());
        args->original.reset();
    }
    EndProductServicesAndProcesses();
    bool allGone = RemoveShortcuts();
    allGone &= DeleteUninstallEntry();
    allGone &= RemoveInstallation(args->installPath);
    // A running program cannot delete its own file.
    const std::wstring self = OwnPath();
    if (!::MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        LogCallFailed("MoveFileExW (at restart)", self, ::GetLastError());
    LogFormatW(g_log, L"uninstalled %s: %s", args->installPath.c_str(), allGone ? L"all gone" : L"something left");
    return allGone ? kAllGone : kSomethingLeft;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // First, as in the installer: the copy runs elevated from the temp folder, where any program
    // may have left a DLL.
    RestrictDllSearch();
    const std::wstring temp = TempFolder();
    if (!temp.empty()) InitLogAt(temp + kProductFolderName + L"-uninstall.log");

    Arguments args = ParseArguments();
    if (!args.valid) return kNothingDone;
    return args.installPath.empty() ? RunOriginal(args) : RunCopy(&args);
}
