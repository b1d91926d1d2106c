// The product's uninstaller. Started from the install folder it asks first (unless /S), then runs
// a copy of itself from a folder of its own, since a running program's folder cannot be deleted. The
// copy ends the product's services and processes as the installer's cleanup does, removes the
// links, the uninstall entry and what the installation listed (install.lst), and is deleted at
// the next restart.
//
//   "<folder>\Uninstaller.exe" [/S]                as registered: run verbatim, quoted or not
//   <copy> [/S] [/W=<handle>] "<install folder>"   the copy; /W: the original, to wait for
//
// Exit code: 0 all gone, 1 something left (the log in the temp folder says what), 2 declined by
// the user, 3 nothing done. Silent, the original waits for the copy and returns its code; in a
// window it ends once the copy runs, and the copy waits for that before it starts, and ends with
// a box that says how it went.

#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdint>
#include <cwchar>
#include <map>
#include <string>

#include "archive/InstallList.h"
#include "archive/PreviousInstall.h"
#include "base/AdminFolder.h"
#include "base/HeldCopy.h"
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

// Not the product's folder name: the cleanup ends every process named like it.
constexpr wchar_t kCopyFolderPrefix[] = L"Uninstaller-";

std::wstring Upper(std::wstring text) {
    if (!text.empty()) ::CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Full and long, upper-cased: one file's spellings (short names, "..", "/") compare alike. Empty
// when the path does not exist.
std::wstring LongPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {}, longPath[MAX_PATH] = {};
    const DWORD fullLength = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) return {};
    const DWORD longLength = ::GetLongPathNameW(full, longPath, MAX_PATH);
    if (longLength == 0 || longLength >= MAX_PATH) return {};
    return Upper(std::wstring(longPath, longLength));
}

// Where this program's own path ends on its command line. Programs and Features runs the
// registered text verbatim, unquoted, so "C:\Program Files (x86)\kavix\Uninstaller.exe" must not
// be read as the words "C:\Program", "Files", ... Compared with the module's path first; then a
// quoted first word whatever it names; then the words that name this file in another spelling;
// else the first word, as Windows reads it.
size_t ProgramPathEnd(const std::wstring& line, const std::wstring& self) {
    size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    const bool quoted = start < line.size() && line[start] == L'"';
    if (quoted) ++start;
    const size_t end = start + self.size();
    if (!self.empty() && end <= line.size() && Upper(line.substr(start, self.size())) == Upper(self)) {
        if (quoted && end < line.size() && line[end] == L'"') return end + 1;
        if (!quoted && (end == line.size() || IsBlank(line[end]))) return end;
    }
    if (quoted) {
        const size_t close = line.find(L'"', start);
        return close == std::wstring::npos ? line.size() : close + 1;
    }
    const std::wstring own = LongPath(self);
    for (size_t at = start + 1; !own.empty() && at <= line.size(); ++at) {
        if ((at == line.size() || IsBlank(line[at])) && LongPath(line.substr(start, at - start)) == own) return at;
    }
    const size_t blank = line.find_first_of(L" \t", start);
    return blank == std::wstring::npos ? line.size() : blank;
}

struct Arguments {
    bool valid = true;
    bool silent = false;
    std::wstring installPath;  // the copy's only
    UniqueHandle original;     // the copy's, in a window: inherited from the original
};

Arguments ParseArguments(const std::wstring& self) {
    Arguments args;
    const std::wstring commandLine = ::GetCommandLineW();
    // A stand-in for the program's word, which the splitter reads by rules of its own.
    const std::wstring options = L"x " + commandLine.substr(ProgramPathEnd(commandLine, self));
    int count = 0;
    const UniqueArgList argv(::CommandLineToArgvW(options.c_str(), &count));
    if (!argv) {
        LogCallFailed("CommandLineToArgvW", commandLine, ::GetLastError());
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

// The copy and its folder, each held from its making until the copy has started: nobody, whoever
// can write the folder above, can rename the folder away and put one holding the same program and
// a DLL in its place.
struct Copy {
    std::wstring path;
    UniqueFile folder;   // shares no deletion, so it cannot be renamed
    UniqueFile program;  // shared for reading only
};

// The copy, then its folder, when it cannot run after all.
void DeleteCopy(Copy* copy) {
    copy->program.reset();
    if (!::DeleteFileW(copy->path.c_str())) LogCallFailed("DeleteFileW", copy->path, ::GetLastError());
    copy->folder.reset();
    const std::wstring folder = copy->path.substr(0, copy->path.rfind(L'\\'));
    if (!::RemoveDirectoryW(folder.c_str())) LogCallFailed("RemoveDirectoryW", folder, ::GetLastError());
}

std::wstring LogPath(const std::wstring& temp) { return temp + kProductFolderName + L"-uninstall.log"; }

// The machine's common application data with its trailing backslash, or empty. The copy's folder
// is made there, not in the user's temp folder: the copy is deleted at the next restart by path,
// and the user could by then have put a link in the place of a folder of their own on the way.
std::wstring CopyParent() {
    wchar_t common[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common))) {
        LogCallFailed("SHGetFolderPathW", L"common application data", ERROR_PATH_NOT_FOUND);
        return {};
    }
    return std::wstring(common) + L"\\";
}

// Writes this program into a new folder that only administrators and the system may write to
// (where Windows searches a program's own folder for DLLs first, anyone who could write beside the
// copy could have a DLL of theirs loaded into it), and holds the copy open for reading, shared for
// reading only, until it has started: the copy runs with this program's rights. Read back, as what
// is held is what runs.
bool MakeCopy(Copy* copy) {
    const std::wstring self = OwnPath();
    const UniqueFile image(::CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!image || !::GetFileSizeEx(image.get(), &size) || size.QuadPart > kMaxImageBytes) {
        LogCallFailed("ReadFile", self, image ? ERROR_FILE_INVALID : ::GetLastError());
        return false;
    }
    std::wstring folder;
    const std::wstring parent = CopyParent();
    if (parent.empty() || !MakeAdminFolder(parent, kCopyFolderPrefix, &folder, &copy->folder)) return false;
    const std::wstring path = folder + kUninstallerFile;
    if (!CopyToHeldFile(image.get(), path, &copy->program)) {
        copy->folder.reset();
        if (!::RemoveDirectoryW(folder.c_str())) LogCallFailed("RemoveDirectoryW", folder, ::GetLastError());
        return false;
    }
    copy->path = path;
    return true;
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

// The last word in a window: owned by nothing, as the original's window is gone by then.
void Tell(const std::wstring& text) {
    if (::MessageBoxW(nullptr, text.c_str(), kUninstallerDisplayName, MB_OK | MB_SETFOREGROUND) == 0)
        LogCallFailed("MessageBoxW", text, ::GetLastError());
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

    Copy made;
    UniqueHandle copy;
    // In a window this process ends at once and the copy waits for that; silent, it waits for
    // the copy instead, to return its code.
    UniqueHandle self;
    if (MakeCopy(&made)) {
        if (!args.silent && !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(),
                                               self.out(), SYNCHRONIZE, TRUE, 0))
            LogCallFailed("DuplicateHandle", made.path, ::GetLastError());
        copy = StartCopy(made.path, temp, installPath, args.silent, self.get());
        if (copy) {
            made.program.reset();
            made.folder.reset();
        } else {
            DeleteCopy(&made);
        }
    }
    if (!copy) {
        // The user said yes: a window that just closes would pass for success.
        if (!args.silent) Tell(kUninstallFailedText + LogPath(temp));
        return kNothingDone;
    }
    if (!args.silent) return kAllGone;
    DWORD code = kSomethingLeft;
    if (::WaitForSingleObject(copy.get(), INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(copy.get(), &code)) {
        LogCallFailed("WaitForSingleObject", made.path, ::GetLastError());
        return kSomethingLeft;
    }
    return static_cast<int>(code);
}

// The size of what Windows is to delete or move at the next restart: grown, something of the
// installation was in use and goes then.
DWORD PendingAtRestartBytes() {
    UniqueRegKey key;
    DWORD bytes = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                        key.out()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.get(), L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS)
        return 0;  // none pending
    return bytes;
}

// The copy and then its folder go at the next restart: a running program cannot delete its own
// file. Only a folder the original made for it, and only where no user can change the way there
// by then (else both stay, logged: they are not the installation's). Needs administrator rights; a
// refusal is only logged.
void DeleteSelfAtRestart() {
    const std::wstring self = OwnPath();
    const std::wstring folder = ModuleDirectory();
    const std::wstring ours = Upper(CopyParent() + kCopyFolderPrefix);
    if (CopyParent().empty() || folder.size() <= ours.size() || Upper(folder.substr(0, ours.size())) != ours ||
        folder.find(L'\\', ours.size()) != std::wstring::npos)
        return;
    std::wstring offending;
    if (!OnlyAdministratorsChange(folder, &offending)) {
        LogLeftNotAtRestart(self, offending);
        return;
    }
    if (!::MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        LogCallFailed("MoveFileExW (at restart)", self, ::GetLastError());
    if (!::MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        LogCallFailed("MoveFileExW (at restart)", folder, ::GetLastError());
}

int RunCopy(Arguments* args, const std::wstring& temp) {
    if (args->original) {
        if (::WaitForSingleObject(args->original.get(), kOriginalEndWaitMs) == WAIT_FAILED)
            LogCallFailed("WaitForSingleObject", L"the uninstaller started from the install folder", ::GetLastError());
        args->original.reset();
    }
    EndProductServicesAndProcesses();
    const DWORD pendingBefore = PendingAtRestartBytes();
    bool allGone = RemoveShortcuts(args->installPath);
    allGone &= DeleteUninstallEntry(args->installPath);
    allGone &= RemoveInstallation(args->installPath);
    const bool atRestart = PendingAtRestartBytes() != pendingBefore;
    DeleteSelfAtRestart();
    LogFormatW(g_log, L"uninstalled %s: %s", args->installPath.c_str(),
               !allGone    ? L"something left"
               : atRestart ? L"all gone, some at the next restart"
                           : L"all gone");
    if (!args->silent)
        Tell(!allGone ? kUninstallLeftText + LogPath(temp) : atRestart ? kUninstallAtRestartText : kUninstallDoneText);
    return allGone ? kAllGone : kSomethingLeft;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // First, as in the installer: the original may run from anywhere, and where Windows has no
    // safe DLL search a program's own folder is searched first.
    RestrictDllSearch();
    const std::wstring temp = TempFolder();
    if (!temp.empty()) InitLogAt(LogPath(temp));

    Arguments args = ParseArguments(OwnPath());
    if (!args.valid) return kNothingDone;
    return args.installPath.empty() ? RunOriginal(args) : RunCopy(&args, temp);
}
