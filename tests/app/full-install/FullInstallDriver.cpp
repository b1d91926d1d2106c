// Whole installations: the real installer, staged beside its skin, payload and installer.ini,
// driven by real input (SendInput, so the clicks and keys take the system's input path) in a
// prefix made for these tests (full-install.sh), and the outcome checked on the system.
//
//   full_install_driver.exe --gtest_filter=FullInstall.<scenario>
//   full_install_driver.exe --service   runs as a service of an earlier installation until stopped
//   full_install_driver.exe --sleep     stands in for an earlier installation's running emulator
//
// Environment: VEXO_TEST_TMP, VEXO_INSTALLER, VEXO_SKIN_DIR (res.zip and platform.zip),
// VEXO_PAYLOAD_TREE (what platform.zip was packed from), VEXO_PAYLOAD_VERSION, VEXO_STATS_DIR,
// VEXO_NETFX_SERVER, VEXO_SCREENSHOTS.

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "StatsRecords.h"
#include "TestFiles.h"
#include "WindowDriver.h"
#include "archive/PreviousInstall.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/Text.h"
#include "prereq/NetFxDownloader.h"
#include "registration/RegSoftwareTask.h"
#include "registration/Shortcuts.h"
#include "ui/InstallFolder.h"
#include "ui/WindowTexts.h"

namespace {

constexpr DWORD kInstallTimeoutMs = 120000;
constexpr wchar_t kNdpKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP";

std::wstring EnvText(const wchar_t* name) {
    wchar_t value[512] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 512);
    return n > 0 && n < 512 ? value : L"";
}

// Where a 32-bit program's Program Files folder is on this Windows, written out rather than asked.
std::wstring DefaultFolder() {
    return (IsWow64() ? L"C:\\Program Files (x86)\\" : L"C:\\Program Files\\") + std::wstring(kProductFolderName);
}

std::wstring ShellFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    ::SHGetSpecialFolderPathW(nullptr, path, csidl, FALSE);
    return path;
}

std::wstring DesktopLink() { return ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\" + EmulatorLinkName(); }
std::wstring StartMenuFolder() { return ShellFolder(CSIDL_PROGRAMS) + L"\\" + kProductDisplayName; }

void WriteFileText(const std::wstring& path, const std::string& text) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        << Utf8(path);
}

// The scenarios share their prefix: each starts without the product and with the .NET state it needs.
void ResetSystem(bool withFramework) {
    RemoveTree(DefaultFolder());
    ::DeleteFileW(DesktopLink().c_str());
    RemoveTree(StartMenuFolder());
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, kNdpKey);
    if (!withFramework) return;
    // The .NET 4 client profile as its setup records it (the 32-bit view, which this program sees).
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kNdpKey) + L"\\v4\\Client").c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, key.out(), nullptr),
              ERROR_SUCCESS);
    const DWORD one = 1;
    ASSERT_EQ(::RegSetValueExW(key.get(), L"Install", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Real input

void SendOne(INPUT input) { ASSERT_EQ(::SendInput(1, &input, sizeof input), 1u) << ::GetLastError(); }

void ClickAt(POINT screen) {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    const int width = ::GetSystemMetrics(SM_CXSCREEN), height = ::GetSystemMetrics(SM_CYSCREEN);
    // Absolute positions are in 1/65536 of the screen; aim at the pixel's middle.
    input.mi.dx = static_cast<LONG>((screen.x * 65536LL + 32768) / width);
    input.mi.dy = static_cast<LONG>((screen.y * 65536LL + 32768) / height);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendOne(input);
    ::Sleep(50);
    POINT at = {};
    ::GetCursorPos(&at);
    ASSERT_TRUE(at.x == screen.x && at.y == screen.y)
        << "pointer at " << at.x << "," << at.y << " not at " << screen.x << "," << screen.y;
    input.mi.dx = input.mi.dy = 0;
    input.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    SendOne(input);
    ::Sleep(30);
    input.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendOne(input);
    ::Sleep(150);
}

// The scale the installer's window is drawn at: the system's, which a scenario may change.
int g_windowDpi = 96;

// A click on a control of the installer's window, where its skin draws it at the window's scale.
void ClickControl(HWND window, const wchar_t* name) {
    POINT point = SkinCentre(name);
    ASSERT_GE(point.x, 0) << "the skin has no " << Utf8(name);
    point = POINT{::MulDiv(point.x, g_windowDpi, 96), ::MulDiv(point.y, g_windowDpi, 96)};
    ASSERT_TRUE(::ClientToScreen(window, &point));
    ClickAt(point);
}

void Key(WORD vk, bool up) {
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendOne(input);
}

// Each character as the keys that make it on the keyboard's layout, shift included.
void TypeText(const std::wstring& text) {
    for (wchar_t c : text) {
        const SHORT scan = ::VkKeyScanW(c);
        ASSERT_NE(scan, -1) << "no key makes " << static_cast<int>(c);
        const bool shift = (scan & 0x100) != 0;
        if (shift) Key(VK_SHIFT, false);
        Key(LOBYTE(scan), false);
        Key(LOBYTE(scan), true);
        if (shift) Key(VK_SHIFT, true);
    }
    ::Sleep(150);
}

BOOL CALLBACK FindEditProc(HWND child, LPARAM param) {
    wchar_t cls[16] = {};
    ::GetClassNameW(child, cls, 16);
    if (lstrcmpiW(cls, L"Edit") != 0) return TRUE;
    *reinterpret_cast<HWND*>(param) = child;
    return FALSE;
}

// What an edit of another process holds (GetWindowText would give its creation text).
std::wstring EditText(HWND edit) {
    wchar_t text[512] = {};
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(edit, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &copied);
    return text;
}

// Opens the custom-install panel if needed and types `folder` over the folder field's text.
void TypeFolder(HWND window, const std::wstring& folder) {
    if (ClientSize(window).cy != 480) {
        ASSERT_NO_FATAL_FAILURE(ClickControl(window, L"BtnCustomInstall"));
    }
    for (int i = 0; i < 40 && ClientSize(window).cy != 480; ++i) ::Sleep(50);
    ASSERT_EQ(ClientSize(window).cy, 480) << "the custom-install panel did not open";
    HWND edit = nullptr;
    ::EnumChildWindows(window, FindEditProc, reinterpret_cast<LPARAM>(&edit));
    ASSERT_NE(edit, nullptr);
    ASSERT_NO_FATAL_FAILURE(ClickControl(window, L"EditPath"));
    Key(VK_END, false), Key(VK_END, true);
    Key(VK_SHIFT, false), Key(VK_HOME, false), Key(VK_HOME, true), Key(VK_SHIFT, true);
    Key(VK_DELETE, false), Key(VK_DELETE, true);
    ASSERT_NO_FATAL_FAILURE(TypeText(folder));
    ASSERT_EQ(EditText(edit), folder) << "typing into the folder field";
}

// ---------------------------------------------------------------------------------------------
// The installer

// The prefix group these tests run in (full-install.sh names the prefix after it).
std::wstring Group() {
    const std::wstring prefix = EnvText(L"VEXO_PREFIX");
    return prefix.compare(0, 13, L"full_install_") == 0 ? prefix.substr(13) : prefix;
}

// A unique "build" in installer.ini: the reports of this run carry it. A release made before the
// run (and pinned with its installer.ini) names its own.
std::wstring Marker() {
    const wchar_t* given = _wgetenv(L"VEXO_RUN_MARKER");
    static const std::wstring marker =
        given != nullptr ? given
                         : L"full-install-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(::GetTickCount());
    return marker;
}

class Installer {
public:
    // Stages the installer in a fresh folder and starts it with `args`; without /S the window is
    // there once it returns.
    // `payload`: another archive than the sample one. `prepare` changes the staged folder before
    // the start.
    explicit Installer(bool withPayload = true, const std::wstring& args = L"", const wchar_t* stage = L"stage",
                       const std::wstring& payload = L"",
                       const std::function<void(const std::wstring& folder)>& prepare = nullptr) {
        folder_ = FreshScratch(stage);
        const std::wstring skin = WinPathFromEnv(L"VEXO_SKIN_DIR");
        const std::wstring exe = folder_ + L"\\VexoInstaller.exe";
        EXPECT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_INSTALLER").c_str(), exe.c_str(), FALSE));
        EXPECT_TRUE(::CopyFileW((skin + L"\\res.zip").c_str(), (folder_ + L"\\res.zip").c_str(), FALSE));
        if (withPayload) {
            const std::wstring source = payload.empty() ? skin + L"\\platform.zip" : payload;
            EXPECT_TRUE(::CopyFileW(source.c_str(), (folder_ + L"\\platform.zip").c_str(), FALSE));
        }
        WriteFileText(folder_ + L"\\installer.ini",
                      "[Platform]\r\nbuild=" + Utf8(Marker()) + "\r\nversion=1.0.6.30\r\nengine=0.9.8.4114\r\n");
        if (prepare) prepare(folder_);
        // The stand-ins it starts run from folders of its own, which go: they note how they ran here.
        ::SetEnvironmentVariableW(L"VEXO_STANDIN_RECORDS", folder_.c_str());

        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::wstring commandLine = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
        if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder_.c_str(),
                              &startup, &process_)) {
            ADD_FAILURE() << "the installer did not start: " << ::GetLastError();
            return;
        }
        if (args.find(L"/S") != std::wstring::npos) return;
        for (int i = 0; i < 1000 && window_ == nullptr && Running() && FindMessageBox(pid()) == nullptr; ++i) {
            ::Sleep(20);
            window_ = FindProcessWindow(process_.dwProcessId, L"MainFrame_Wnd");
        }
        if (window_ != nullptr) ::Sleep(500);  // its first paint
    }
    ~Installer() {
        if (process_.hProcess == nullptr) return;
        if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) ::TerminateProcess(process_.hProcess, 99);
        ::CloseHandle(process_.hThread);
        ::CloseHandle(process_.hProcess);
    }
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;

    HWND window() const { return window_; }
    DWORD pid() const { return process_.dwProcessId; }
    const std::wstring& folder() const { return folder_; }
    bool Running() const { return ::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
    // The exit code once the process has ended, or STILL_ACTIVE.
    DWORD ExitCodeWithin(DWORD ms) const {
        ::WaitForSingleObject(process_.hProcess, ms);
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }
    // <build>/screenshots/full-install-<group>-<name>.png
    void Screenshot(const std::wstring& name) const {
        if (::IsWindow(window_))
            SaveWindowPng(window_, ScreenshotPath(L"full-install-" + Group() + L"-" + name + L".png"));
    }

private:
    std::wstring folder_;
    PROCESS_INFORMATION process_ = {};
    HWND window_ = nullptr;
};

// Waits for the installer's message box, reads it and presses its OK button with a click.
SeenBox AnswerBox(const Installer& installer, DWORD timeoutMs) {
    SeenBox seen;
    HWND box = nullptr;
    for (DWORD waited = 0; (box = FindMessageBox(installer.pid())) == nullptr && waited < timeoutMs; waited += 50)
        ::Sleep(50);
    if (box == nullptr) {
        ADD_FAILURE() << "no message box";
        return seen;
    }
    ::Sleep(300);  // laid out and painted
    EXPECT_TRUE(ReadMessageBox(box, &seen));
    RECT ok = {};
    if (HWND button = ::GetDlgItem(box, IDOK); button != nullptr && ::GetWindowRect(button, &ok)) {
        ClickAt(POINT{(ok.left + ok.right) / 2, (ok.top + ok.bottom) / 2});
    } else {
        ADD_FAILURE() << "the box has no OK button";
    }
    for (int i = 0; i < 100 && ::IsWindow(box); ++i) ::Sleep(50);
    EXPECT_FALSE(::IsWindow(box)) << "the box is still open after the click on OK";
    return seen;
}

// ---------------------------------------------------------------------------------------------
// What the installation left

// Messages of tmp.log, without level tags and times.
std::vector<std::string> LogMessages(const std::wstring& folder) {
    std::string text;
    ReadWholeFile(folder + L"\\tmp.log", &text);
    std::vector<std::string> messages;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 1, "[") == 0) line = line.substr(line.find("] ") + 2);
        const size_t time = line.rfind(" [");
        messages.push_back(time == std::string::npos ? line : line.substr(0, time));
    }
    return messages;
}

// The runner's first and last lines, and `inner` between them.
void ExpectLogFrames(const std::wstring& folder, const std::vector<std::string>& inner) {
    const auto messages = LogMessages(folder);
    ASSERT_FALSE(messages.empty()) << "no tmp.log beside the installer";
    EXPECT_EQ(messages.front(), "Task Manager start");
    EXPECT_EQ(messages.back(), "exit TaskManager excute now");
    auto at = messages.begin();
    for (const auto& line : inner) {
        at = std::find(at, messages.end(), line);
        EXPECT_NE(at, messages.end()) << "tmp.log lacks, or has out of order: " << line;
    }
}

struct Report {
    std::string action, a1, fragment;
};

// The reports of this run (its marker in the body), in the order the server received them.
std::vector<Report> ReportsOfThisRun() {
    std::vector<Report> reports;
    for (const auto& request : RecordedRequestsWith(Utf8(Marker()))) {
        // [{"action":"..","a1":"..","a2":"..","a3":"..",<fragment>}]
        const std::string& body = request.body;
        auto field = [&](const std::string& key, size_t* end) {
            const size_t from = body.find("\"" + key + "\":\"") + key.size() + 4;
            *end = body.find('"', from);
            return body.substr(from, *end - from);
        };
        Report report;
        size_t end = 0;
        report.action = field("action", &end);
        report.a1 = field("a1", &end);
        field("a3", &end);
        report.fragment = body.substr(end + 2, body.rfind("}]") - end - 2);
        reports.push_back(report);
    }
    return reports;
}

void ExpectReports(const std::vector<std::string>& actions) {
    const auto reports = ReportsOfThisRun();
    std::vector<std::string> got;
    for (const auto& report : reports) got.push_back(report.action);
    EXPECT_EQ(got, actions);
    for (const auto& report : reports) {
        EXPECT_EQ(report.fragment, reports.front().fragment) << report.action;
        EXPECT_NE(report.fragment.find("\"build\":\"" + Utf8(Marker()) + "\""), std::string::npos) << report.fragment;
    }
}

std::wstring LinkTarget(const std::wstring& link) {
    IShellLinkW* shellLink = nullptr;
    IPersistFile* file = nullptr;
    wchar_t target[MAX_PATH] = {};
    if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                     reinterpret_cast<void**>(&shellLink)))) {
        if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            if (SUCCEEDED(file->Load(link.c_str(), STGM_READ)))
                shellLink->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
            file->Release();
        }
        shellLink->Release();
    }
    return target;
}

std::wstring RegText(HKEY key, const wchar_t* name) {
    wchar_t value[512] = {};
    DWORD bytes = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes) != ERROR_SUCCESS)
        return L"<missing>";
    return type == REG_SZ ? value : L"<not REG_SZ>";
}

DWORD RegNumber(HKEY key, const wchar_t* name) {
    DWORD value = 0, bytes = sizeof value, type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0xFFFFFFFF;
    return value;
}

// Relative paths of the files below `root`.
void ListFiles(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>* files) {
    WIN32_FIND_DATAW found;
    UniqueFind find(::FindFirstFileW((root + relative + L"\\*").c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListFiles(root, relative + L"\\" + name, files);
        else
            files->push_back(relative + L"\\" + name);
    } while (::FindNextFileW(find.get(), &found));
}

std::wstring ImagePath(HANDLE process) {
    using Fn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    const auto query = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "QueryFullProcessImageNameW")));
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    return query != nullptr && query(process, 0, path, &size) ? path : L"";
}

// The process of the desktop's window: the shell that starts programs as the desktop's user.
DWORD DesktopShellPid() {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(::GetDesktopWindow(), &pid);
    return pid;
}

// Ends, by pid, every "ZavozidaDedor.exe" the installer started, itself or through the desktop's
// shell, and says from where they ran.
std::vector<std::wstring> EndEmulatorsStartedBy(DWORD installerPid) {
    const DWORD shellPid = DesktopShellPid();
    std::vector<std::wstring> images;
    const std::wstring emulatorImage = std::wstring(kEmulatorProcessName) + L".exe";
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if ((entry.th32ParentProcessID != installerPid && entry.th32ParentProcessID != shellPid) ||
            lstrcmpiW(entry.szExeFile, emulatorImage.c_str()) != 0)
            continue;
        UniqueHandle process(
            ::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (!process) continue;
        images.push_back(ImagePath(process.get()));
        ::TerminateProcess(process.get(), 0);
        ::WaitForSingleObject(process.get(), 5000);
    }
    return images;
}

// The install list's lines after its first, sorted.
std::vector<std::string> ListLines(const std::wstring& folder) {
    std::string text;
    ReadWholeFile(folder + kInstallListFile, &text);
    std::vector<std::string> lines;
    for (size_t start = 0, end = 0; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // The first line marks the list as the installer's own.
        if (start == 0) {
            EXPECT_EQ(line, kInstallListHeader);
            continue;
        }
        if (!line.empty()) lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// What the list names after a whole extraction of the payload: each of its files, and each folder
// they are in with a trailing backslash, relative to the install folder.
std::vector<std::string> PayloadLines() {
    std::vector<std::wstring> files;
    ListFiles(WinPathFromEnv(L"VEXO_PAYLOAD_TREE"), L"", &files);
    std::set<std::string> lines;
    for (const auto& file : files) {
        const std::wstring relative = file.substr(1);
        lines.insert(Utf8(relative));
        for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos; slash = relative.find(L'\\', slash + 1))
            lines.insert(Utf8(relative.substr(0, slash + 1)));
    }
    return std::vector<std::string>(lines.begin(), lines.end());
}

// Everything a finished installation into `folder` leaves behind, checked against the payload.
// An unattended install starts no emulator.
void ExpectInstalledIn(const std::wstring& folder, const Installer& installer, bool emulatorStarted = true) {
    const DWORD installerPid = installer.pid();
    const std::wstring emulator = folder + kEmulatorFile;
    std::vector<std::wstring> emulators;
    for (int i = 0; i < (emulatorStarted ? 100 : 10) && emulators.empty(); ++i) {
        emulators = EndEmulatorsStartedBy(installerPid);
        if (emulators.empty()) ::Sleep(50);
    }
    EXPECT_EQ(emulators.size(), emulatorStarted ? 1u : 0u) << "the emulator started, or did not";
    if (!emulators.empty()) {
        EXPECT_EQ(Utf8(emulators[0]), Utf8(emulator));
    }

    const std::wstring tree = WinPathFromEnv(L"VEXO_PAYLOAD_TREE");
    std::vector<std::wstring> packed, installed;
    ListFiles(tree, L"", &packed);
    ListFiles(folder, L"", &installed);
    ASSERT_FALSE(packed.empty());
    for (const auto& file : packed) {
        std::string want, got;
        ReadWholeFile(tree + file, &want);
        EXPECT_TRUE(ReadWholeFile(folder + file, &got) && got == want) << "not extracted as packed: " << Utf8(file);
    }
    // The installation lists what it made; nothing else may be there (the runtime package runs
    // from a folder of the installer's own and notes how it ran in the staged installer's).
    for (const auto& file : installed)
        EXPECT_TRUE(file == kInstallListFile || std::find(packed.begin(), packed.end(), file) != packed.end())
            << "not in the payload: " << Utf8(file);
    EXPECT_EQ(ListLines(folder), PayloadLines());
    std::string vcLines;
    EXPECT_TRUE(ReadWholeFile(installer.folder() + L"\\vc-cmdline.txt", &vcLines)) << "the runtime package did not run";
    EXPECT_EQ(vcLines.find(Utf8(folder)), std::string::npos) << "run from the install folder: " << vcLines;
    const std::string quiet = "/q /c:\"msiexec /i vcredist.msi /qn /l*v %temp%\\vcredist_x86.log\"\r\n";
    EXPECT_TRUE(vcLines.size() > quiet.size() &&
                vcLines.compare(vcLines.size() - quiet.size(), quiet.size(), quiet) == 0 &&
                std::count(vcLines.begin(), vcLines.end(), '\n') == 1)
        << vcLines;

    const std::wstring uninstaller = folder + kUninstallerFile;
    EXPECT_EQ(Utf8(LinkTarget(DesktopLink())), Utf8(emulator)) << "desktop shortcut";
    EXPECT_EQ(Utf8(LinkTarget(StartMenuFolder() + L"\\" + EmulatorLinkName())), Utf8(emulator)) << "start-menu shortcut";
    EXPECT_EQ(Utf8(LinkTarget(StartMenuFolder() + L"\\" + UninstallerLinkName())), Utf8(uninstaller)) << "uninstall shortcut";

    UniqueRegKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_32KEY, key.out()),
              ERROR_SUCCESS)
        << "no uninstall entry in the 32-bit view";
    EXPECT_EQ(Utf8(RegText(key.get(), L"DisplayName")), Utf8(kProductDisplayName));
    EXPECT_EQ(Utf8(RegText(key.get(), L"Publisher")), Utf8(kProductDisplayName));
    EXPECT_EQ(Utf8(RegText(key.get(), L"DisplayIcon")), Utf8(emulator));
    EXPECT_EQ(Utf8(RegText(key.get(), L"UninstallString")), Utf8(L"\"" + uninstaller + L"\""));
    EXPECT_EQ(Utf8(RegText(key.get(), L"DisplayVersion")), " " + Utf8(EnvText(L"VEXO_PAYLOAD_VERSION")));
    EXPECT_EQ(RegNumber(key.get(), L"NoModify"), 1u);
    EXPECT_EQ(RegNumber(key.get(), L"NoRepair"), 1u);
    if (IsWow64()) {
        UniqueRegKey native;
        EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | KEY_WOW64_64KEY, native.out()),
                  ERROR_SUCCESS)
            << "the uninstall entry belongs in the 32-bit view only";
    }
}

// Clicks install and waits for the end; prints how long the installation took.
DWORD InstallAndWait(Installer& installer, const std::wstring& what) {
    const DWORD start = ::GetTickCount();
    ClickControl(installer.window(), L"BtnInstall");
    ::Sleep(100);
    installer.Screenshot(what + L"-progress");
    const DWORD code = installer.ExitCodeWithin(kInstallTimeoutMs);
    std::printf("%s: %.1f s from the click on install to the end of the installer\n", Utf8(what).c_str(),
                (::GetTickCount() - start) / 1000.0);
    return code;
}

// ---------------------------------------------------------------------------------------------
// A service and an emulator of an earlier installation

SERVICE_STATUS_HANDLE g_serviceStatus = nullptr;
HANDLE g_serviceStop = nullptr;

void ReportServiceState(DWORD state) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    ::SetServiceStatus(g_serviceStatus, &status);
}

void WINAPI ServiceHandler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) return;
    ReportServiceState(SERVICE_STOP_PENDING);
    ::SetEvent(g_serviceStop);
}

void WINAPI ServiceMain(DWORD, LPWSTR* args) {
    g_serviceStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_serviceStatus = ::RegisterServiceCtrlHandlerW(args[0], ServiceHandler);
    if (g_serviceStatus == nullptr) return;
    ReportServiceState(SERVICE_RUNNING);
    ::WaitForSingleObject(g_serviceStop, 120000);
    ReportServiceState(SERVICE_STOPPED);
}

int RunAsService() {
    wchar_t none[] = L"";
    const SERVICE_TABLE_ENTRYW table[] = {{none, ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

class Services {
public:
    Services() : manager_(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}
    ~Services() {
        for (const auto& name : created_) {
            UniqueServiceHandle service(::OpenServiceW(manager_.get(), name.c_str(), SERVICE_ALL_ACCESS));
            SERVICE_STATUS status = {};
            if (!service) continue;
            ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            ::DeleteService(service.get());
        }
    }
    // This program as the service `name`, started or not.
    void Create(const std::wstring& name, bool start) {
        ASSERT_TRUE(manager_) << ::GetLastError();
        wchar_t self[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::wstring binary = L"\"" + std::wstring(self) + L"\" --service";
        UniqueServiceHandle service(::CreateServiceW(
            manager_.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << "CreateServiceW " << ::GetLastError();
        created_.push_back(name);
        if (!start) return;
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
        EXPECT_EQ(State(name), static_cast<DWORD>(SERVICE_RUNNING));
    }
    // The service's state, or 0 once it is gone.
    DWORD State(const std::wstring& name) {
        UniqueServiceHandle service(::OpenServiceW(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        return service && ::QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
    }

private:
    UniqueServiceHandle manager_;
    std::vector<std::wstring> created_;
};

// ---------------------------------------------------------------------------------------------
// The installed uninstaller

// A program named `image` that process `parent` started, still running (a handle to wait on and
// ask), or an empty handle.
UniqueHandle RunningProgramStartedBy(DWORD parent, const wchar_t* image) {
    for (int i = 0; i < 100; ++i) {
        UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
             more = ::Process32NextW(snapshot.get(), &entry)) {
            if (entry.th32ParentProcessID == parent && lstrcmpiW(entry.szExeFile, image) == 0)
                return UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                                                  entry.th32ProcessID));
        }
        ::Sleep(50);
    }
    return UniqueHandle();
}

// The paths of the files and folders in `folder` (given with its trailing backslash).
std::vector<std::wstring> FolderNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    UniqueFind find(::FindFirstFileW((folder + L"*").c_str(), &found));
    if (!find) return names;
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
            names.push_back(folder + found.cFileName);
    } while (::FindNextFileW(find.get(), &found));
    return names;
}

// Whether the folder was made with rights of its own: neither everyone, nor any signed-in user,
// nor the users may write in it, and not everyone may even read it (Wine keeps only what its file
// modes can say, and there a folder made without them lets everyone read).
bool OnlyAdministratorsWrite(const std::wstring& folder) {
    std::vector<BYTE> descriptor(4096);
    DWORD bytes = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), 4096, &bytes) ||
        !::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;
    const DWORD readAndRun = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return false;
        PSID sid = &ace->SidStart;
        if (ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            (::IsWellKnownSid(sid, WinWorldSid) || ::IsWellKnownSid(sid, WinAuthenticatedUserSid) ||
             (::IsWellKnownSid(sid, WinBuiltinUsersSid) && (ace->Mask & ~readAndRun) != 0)))
            return false;
    }
    return true;
}

std::wstring TempFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    return temp;
}

// Files and folders Windows is to delete at the next restart, in its order, upper-cased.
std::vector<std::wstring> DeletedAtRestart() {
    std::vector<std::wstring> paths;
    std::vector<wchar_t> value(64 * 1024);
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t)) - 2 * sizeof(wchar_t);
    if (::SHGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                      L"PendingFileRenameOperations", nullptr, value.data(), &bytes) != ERROR_SUCCESS)
        return paths;
    // Pairs of names, the source as "\\??\\C:\\...", the target empty for a deletion.
    std::vector<std::wstring> names;
    for (const wchar_t* at = value.data(); at < value.data() + bytes / sizeof(wchar_t); at += names.back().size() + 1)
        names.emplace_back(at);
    for (size_t i = 0; i + 1 < names.size(); i += 2) {
        if (!names[i + 1].empty()) continue;
        std::wstring path = names[i].compare(0, 4, L"\\??\\") == 0 ? names[i].substr(4) : names[i];
        ::CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
        paths.push_back(path);
    }
    return paths;
}

// The process's exit code once it has ended, or STILL_ACTIVE.
DWORD ExitCode(HANDLE process, DWORD waitMs) {
    DWORD code = STILL_ACTIVE;
    ::WaitForSingleObject(process, waitMs);
    ::GetExitCodeProcess(process, &code);
    return code;
}

// Runs the installed uninstaller; its exit code. Silently from its folder, as a script would; or,
// given `last`, as Programs and Features does: the registered uninstall string verbatim (which
// Wine, like Windows, passes on so only with the program named apart) in a window, the question
// and the copy's last box confirmed, and the copy's code.
DWORD RunUninstaller(const std::wstring& folder, SeenBox* last = nullptr) {
    const std::wstring exe = folder + kUninstallerFile;
    std::wstring commandLine = L"\"" + exe + L"\" /S";
    UniqueRegKey key;
    if (last != nullptr && ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, key.out()) == ERROR_SUCCESS)
        commandLine = RegText(key.get(), L"UninstallString");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                          &started)) {
        ADD_FAILURE() << "the uninstaller did not start: " << ::GetLastError();
        return STILL_ACTIVE;
    }
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    if (last == nullptr) return ExitCode(process.get(), kInstallTimeoutMs);
    BoxAnswerer question(started.dwProcessId, IDOK, 30000);
    EXPECT_TRUE(question.Wait(30000)) << "no question";
    EXPECT_EQ(Utf8(question.seen().text), Utf8(kUninstallConfirmText));
    EXPECT_EQ(ExitCode(process.get(), 30000), 0u) << "the uninstaller in the install folder";
    const UniqueHandle copy = RunningProgramStartedBy(started.dwProcessId, kUninstallerFile + 1);
    if (!copy) {
        ADD_FAILURE() << "no copy";
        return STILL_ACTIVE;
    }
    BoxAnswerer closing(::GetProcessId(copy.get()), IDOK, kInstallTimeoutMs);
    EXPECT_TRUE(closing.Wait(kInstallTimeoutMs)) << "no last box";
    *last = closing.seen();
    return ExitCode(copy.get(), kInstallTimeoutMs);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scenarios

TEST(FullInstall, DefaultFolder) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    Installer installer;
    ASSERT_NE(installer.window(), nullptr);
    installer.Screenshot(L"start");
    EXPECT_EQ(InstallAndWait(installer, L"default-folder"), 0u);
    ExpectInstalledIn(DefaultFolder(), installer);
    ExpectReports({"activate", "install_start", "install_done"});
    // Elevated, the emulator is started by the desktop's shell, as the user.
    ExpectLogFrames(installer.folder(), {"DotNetFrameworkTask checking framework now", "IsWindows1064Bit2",
                                         Utf8(DefaultFolder() + kEmulatorFile) + " started as the desktop's user"});
}

// Windows 10 without the .NET 3.5 feature: its installer comes from the version server.
TEST(FullInstall, NetFx35FromTheVersionServer) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(false));
    std::string before;
    ReadWholeFile(WinPathFromEnv(L"VEXO_NETFX_SERVER") + L"\\requests", &before);
    Installer installer;
    ASSERT_NE(installer.window(), nullptr);
    EXPECT_EQ(InstallAndWait(installer, L"net35"), 0u);

    std::string requests;
    ReadWholeFile(WinPathFromEnv(L"VEXO_NETFX_SERVER") + L"\\requests", &requests);
    EXPECT_EQ(requests.substr(before.size()), "10080 GET /dotnet/ver.php?ver=WinNet1064Bit\n");
    std::string ran;
    EXPECT_TRUE(ReadWholeFile(installer.folder() + L"\\WinNet1064Bit.exe.ran", &ran))
        << "the .NET installer did not run";
    // Run from a new folder only administrators may write, as its current folder, not from here.
    const std::string ranAs = ran.substr(0, ran.find('\n')), ranIn = ran.substr(ran.find('\n') + 1);
    EXPECT_EQ(ranAs, ranIn.substr(0, ranIn.find('\n')) + "\\WinNet1064Bit.exe");
    EXPECT_NE(ranAs.find("\\kavix-run-"), std::string::npos) << ranAs;
    EXPECT_FALSE(PathExists(installer.folder() + L"\\WinNet1064Bit.exe")) << "the .NET installer was left behind";

    ExpectInstalledIn(DefaultFolder(), installer);
    ExpectReports({"activate", "install_start", "install_done"});
    ExpectLogFrames(installer.folder(), {"windows 10 64 bit check net35 install okay", "Install35NetFx now"});
}

// No .NET on 7 and the service pack's download refused: the error box, and nothing installed.
TEST(FullInstall, DownloadRefused) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(false));
    std::string before, after;
    ReadWholeFile(WinPathFromEnv(L"VEXO_NETFX_SERVER") + L"\\requests", &before);
    Installer installer;
    ASSERT_NE(installer.window(), nullptr);
    ClickControl(installer.window(), L"BtnInstall");
    const SeenBox box = AnswerBox(installer, 60000);
    EXPECT_EQ(Utf8(box.caption), Utf8(kMessageCaption));
    EXPECT_EQ(Utf8(box.text), Utf8(kNetFxDownloadErrorText));
    EXPECT_FALSE(box.hasCancel);
    EXPECT_EQ(installer.ExitCodeWithin(10000), 0u);
    ReadWholeFile(WinPathFromEnv(L"VEXO_NETFX_SERVER") + L"\\requests", &after);
    EXPECT_EQ(after, before) << "the download reached the server, so it was not refused";

    const auto reports = ReportsOfThisRun();
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports[0].action + " " + reports[1].action + " " + reports[2].action,
              "activate install_start install_err");
    EXPECT_EQ(reports[2].a1, Utf8(kDownloadFailedReport));
    EXPECT_EQ(reports[2].fragment, reports[0].fragment);

    std::vector<std::wstring> files;
    ListFiles(DefaultFolder(), L"", &files);
    EXPECT_TRUE(files.empty()) << "extracted: " << Utf8(files[0]);
    EXPECT_FALSE(PathExists(DesktopLink()));
    EXPECT_FALSE(PathExists(installer.folder() + L"\\sp2.exe"));
    const auto log = LogMessages(installer.folder());
    EXPECT_NE(std::find(log.begin(), log.end(), "dected sp2 not installed  enter download state"), log.end());
}

// Without platform.zip: the disk-space box, and nothing touched: an earlier installation in the
// product's own folder and a folder of the user's keep their files.
TEST(FullInstall, MissingPayload) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    {
        ASSERT_EQ(::SHCreateDirectoryExW(nullptr, DefaultFolder().c_str(), nullptr), ERROR_SUCCESS);
        WriteFileText(DefaultFolder() + L"\\left-over.dat", "from an earlier run");
        Installer installer(false);
        ASSERT_NE(installer.window(), nullptr);
        ClickControl(installer.window(), L"BtnInstall");
        const SeenBox box = AnswerBox(installer, 60000);
        EXPECT_EQ(Utf8(box.caption), Utf8(kMessageCaption));
        EXPECT_EQ(Utf8(box.text), Utf8(kDiskSpaceErrorText));
        EXPECT_EQ(installer.ExitCodeWithin(10000), 0u);
        std::string text;
        EXPECT_TRUE(ReadWholeFile(DefaultFolder() + L"\\left-over.dat", &text) && text == "from an earlier run");
    }
    const std::wstring mine = L"C:\\MyGames";
    RemoveTree(mine);
    ASSERT_TRUE(::CreateDirectoryW(mine.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((mine + L"\\Mods").c_str(), nullptr));
    WriteFileText(mine + L"\\save.dat", "level 7");
    WriteFileText(mine + L"\\Mods\\a.txt", "mod");
    Installer installer(false);
    ASSERT_NE(installer.window(), nullptr);
    ASSERT_NO_FATAL_FAILURE(TypeFolder(installer.window(), mine));
    ClickControl(installer.window(), L"BtnInstall");
    EXPECT_EQ(Utf8(AnswerBox(installer, 60000).text), Utf8(kDiskSpaceErrorText));
    EXPECT_EQ(installer.ExitCodeWithin(10000), 0u);
    std::string text;
    EXPECT_TRUE(ReadWholeFile(mine + L"\\save.dat", &text) && text == "level 7") << "lost the user's file";
    EXPECT_TRUE(ReadWholeFile(mine + L"\\Mods\\a.txt", &text) && text == "mod") << "lost the user's file";
    RemoveTree(mine);
}

// An earlier installation, its emulator running and its services there: all gone, the new files in place.
TEST(FullInstall, EarlierInstallation) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    const std::wstring old = DefaultFolder();
    ASSERT_EQ(::SHCreateDirectoryExW(nullptr, (old + L"\\assets").c_str(), nullptr), ERROR_SUCCESS);
    WriteFileText(old + L"\\readme.txt", "the old version");
    WriteFileText(old + L"\\assets\\old-only.dat", "old data");
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring oldEmulator = old + kEmulatorFile;
    ASSERT_TRUE(::CopyFileW(self, oldEmulator.c_str(), FALSE));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION running = {};
    std::wstring commandLine = L"\"" + oldEmulator + L"\" --sleep";
    ASSERT_TRUE(::CreateProcessW(oldEmulator.c_str(), &commandLine[0], nullptr, nullptr, FALSE, DETACHED_PROCESS,
                                 nullptr, old.c_str(), &startup, &running));
    UniqueHandle oldProcess(running.hProcess), oldThread(running.hThread);
    Services services;
    const std::wstring running1 = L"Vexo_090801_VaDerizavUve", stopped15 = L"Vexo_22270015_VaDerizavUve";
    ASSERT_NO_FATAL_FAILURE(services.Create(running1, true));
    ASSERT_NO_FATAL_FAILURE(services.Create(stopped15, false));

    Installer installer;
    ASSERT_NE(installer.window(), nullptr);
    EXPECT_EQ(InstallAndWait(installer, L"earlier-install"), 0u);

    EXPECT_EQ(::WaitForSingleObject(oldProcess.get(), 5000), WAIT_OBJECT_0) << "the old emulator still runs";
    DWORD code = 0;
    ::GetExitCodeProcess(oldProcess.get(), &code);
    EXPECT_EQ(code, 9u);
    // A service still stopping when it was deleted goes once it has stopped.
    for (int i = 0; i < 100 && services.State(running1) != 0; ++i) ::Sleep(50);
    EXPECT_EQ(services.State(running1), 0u) << "the running service is still there";
    EXPECT_EQ(services.State(stopped15), 0u) << "the stopped service is still there";
    EXPECT_FALSE(PathExists(old + L"\\assets\\old-only.dat"));
    ExpectInstalledIn(DefaultFolder(), installer);
}

// A folder typed into the custom panel: wrong ones refused with their messages, the corrected one used.
TEST(FullInstall, CustomFolder) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    const std::wstring chosen = L"C:\\Games\\Vexo_1";
    RemoveTree(chosen);
    Installer installer;
    ASSERT_NE(installer.window(), nullptr);
    ASSERT_NO_FATAL_FAILURE(ClickControl(installer.window(), L"BtnCustomInstall"));
    installer.Screenshot(L"custom-panel");
    const std::map<std::wstring, FolderCheck> refused = {
        {L"Q:\\Games\\Vexo_1", FolderCheck::NoDrive},
        {L"C:\\Games\\Vexo-1", FolderCheck::BadCharacters},
    };
    for (const auto& [folder, refusal] : refused) {
        ASSERT_NO_FATAL_FAILURE(TypeFolder(installer.window(), folder));
        ClickControl(installer.window(), L"BtnInstall");
        const SeenBox box = AnswerBox(installer, 10000);
        EXPECT_EQ(Utf8(box.caption), Utf8(kMessageCaption));
        EXPECT_EQ(Utf8(box.text), Utf8(FolderCheckMessage(refusal))) << Utf8(folder);
        ASSERT_TRUE(installer.Running());
        EXPECT_FALSE(PathExists(folder)) << "created although refused";
    }
    ASSERT_NO_FATAL_FAILURE(TypeFolder(installer.window(), chosen));
    EXPECT_EQ(InstallAndWait(installer, L"custom-folder"), 0u);
    ExpectInstalledIn(chosen, installer);
    EXPECT_FALSE(PathExists(DefaultFolder()));
    RemoveTree(L"C:\\Games");
}

// The system's scale as Windows keeps it for the user; programs started from now on are drawn at it.
void SetSystemDpi(DWORD dpi) {
    UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                key.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi),
              ERROR_SUCCESS);
    g_windowDpi = static_cast<int>(dpi);
}

// At 100 % to 200 %: the window is the skin's size times the scale, with the custom panel too, and
// a click where install is drawn at that scale installs.
TEST(FullInstall, Scaling) {
    for (const DWORD dpi : {96, 120, 144, 192}) {
        SCOPED_TRACE("dpi " + std::to_string(dpi));
        ASSERT_NO_FATAL_FAILURE(SetSystemDpi(dpi));
        ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
        Installer installer;
        ASSERT_NE(installer.window(), nullptr);
        const SIZE start = ClientSize(installer.window());
        EXPECT_EQ(start.cx, ::MulDiv(680, dpi, 96));
        EXPECT_EQ(start.cy, ::MulDiv(420, dpi, 96));
        installer.Screenshot(L"start-" + std::to_wstring(dpi));
        ASSERT_NO_FATAL_FAILURE(ClickControl(installer.window(), L"BtnCustomInstall"));
        const SIZE custom = ClientSize(installer.window());
        EXPECT_EQ(custom.cx, ::MulDiv(680, dpi, 96));
        EXPECT_EQ(custom.cy, ::MulDiv(480, dpi, 96));
        installer.Screenshot(L"custom-panel-" + std::to_wstring(dpi));
        EXPECT_EQ(InstallAndWait(installer, L"scaled-" + std::to_wstring(dpi)), 0u);
        ExpectInstalledIn(DefaultFolder(), installer);
    }
    SetSystemDpi(96);
}

// Every file below a folder with its bytes.
std::map<std::wstring, std::string> FilesWithBytes(const std::wstring& folder) {
    std::vector<std::wstring> files;
    ListFiles(folder, L"", &files);
    std::map<std::wstring, std::string> contents;
    for (const auto& file : files) ReadWholeFile(folder + file, &contents[file]);
    return contents;
}

// An upgrade with a payload damaged near its end: the disk-space box and today's reports, and the
// working installation untouched, its emulator still starting; a good payload still upgrades it.
TEST(FullInstall, DamagedUpgrade) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    {
        Installer installer;
        ASSERT_NE(installer.window(), nullptr);
        ASSERT_EQ(InstallAndWait(installer, L"before-damage"), 0u);
        ExpectInstalledIn(DefaultFolder(), installer);
    }
    const auto installed = FilesWithBytes(DefaultFolder());
    ASSERT_FALSE(installed.empty());
    const std::wstring damaged = WinPathFromEnv(L"VEXO_DAMAGED_PAYLOADS");
    for (const wchar_t* payload : {L"damaged-entry.zip", L"truncated.zip", L"unsafe-name.zip", L"overlapping.zip"}) {
        SCOPED_TRACE(Utf8(payload));
        Installer installer(true, L"", L"damaged", damaged + L"\\" + payload);
        ASSERT_NE(installer.window(), nullptr);
        ClickControl(installer.window(), L"BtnInstall");
        EXPECT_EQ(Utf8(AnswerBox(installer, 60000).text), Utf8(kDiskSpaceErrorText));
        EXPECT_EQ(installer.ExitCodeWithin(10000), 0u);
        const auto reports = ReportsOfThisRun();
        ASSERT_GE(reports.size(), 3u);
        EXPECT_EQ(reports[reports.size() - 3].action, "activate");
        EXPECT_EQ(reports[reports.size() - 2].action, "install_start");
        EXPECT_EQ(reports.back().action, "install_done");

        EXPECT_TRUE(FilesWithBytes(DefaultFolder()) == installed) << "the earlier installation changed";
        EXPECT_TRUE(PathExists(DesktopLink()));
        EXPECT_TRUE(PathExists(StartMenuFolder() + L"\\" + EmulatorLinkName()));
        UniqueRegKey key;
        EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, key.out()), ERROR_SUCCESS);
        // Its emulator still starts.
        const std::wstring emulator = DefaultFolder() + kEmulatorFile;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        std::wstring commandLine = L"\"" + emulator + L"\"";
        ASSERT_TRUE(::CreateProcessW(emulator.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                     DefaultFolder().c_str(), &startup, &started));
        const UniqueHandle process(started.hProcess), thread(started.hThread);
        EXPECT_EQ(::WaitForSingleObject(process.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT)) << "it did not run";
        ::TerminateProcess(process.get(), 0);
    }
    Installer installer;
    ASSERT_NE(installer.window(), nullptr);
    EXPECT_EQ(InstallAndWait(installer, L"after-damage"), 0u);
    ExpectInstalledIn(DefaultFolder(), installer);
}

// Unattended: installed into a folder with a blank and no emulator started, taken back by the
// uninstaller run silently, installed again; a refused folder and a missing payload say so by the
// exit code, with nothing installed.
TEST(FullInstall, Silent) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    const std::wstring folder = L"C:\\Vexo Apps\\kavix";
    RemoveTree(L"C:\\Vexo Apps");
    for (const char* round : {"first", "again"}) {
        SCOPED_TRACE(round);
        const DWORD start = ::GetTickCount();
        Installer installer(true, L"/S /D=" + folder);
        EXPECT_EQ(installer.ExitCodeWithin(kInstallTimeoutMs), 0u);
        std::printf("silent install: %.1f s\n", (::GetTickCount() - start) / 1000.0);
        ExpectInstalledIn(folder, installer, false);
        if (std::string(round) == "again") break;
        ExpectReports({"activate", "install_start", "install_done"});
        {
            // A file of the installation that another program holds open: the upgrade waits for it,
            // then gives up, the installation as it was and the file named.
            const auto installed = FilesWithBytes(folder);
            const std::wstring heldPath = folder + kEmulatorFile;
            const UniqueFile held(
                ::CreateFileW(heldPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held);
            Installer blocked(true, L"/S /D=" + folder, L"held");
            EXPECT_EQ(blocked.ExitCodeWithin(kInstallTimeoutMs), 3u);
            EXPECT_TRUE(FilesWithBytes(folder) == installed) << "the installation changed";
            const auto log = LogMessages(blocked.folder());
            EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
                return line.find(Utf8(heldPath)) != std::string::npos;
            })) << "the held file is not named";
        }
        // Silent, the original waits for its copy: its file, in use, goes at the next restart, or
        // stays where nothing may wait for the restart (under Wine), which is something left.
        const bool atRestart = RestartDeletionsInCommonAppData();
        EXPECT_EQ(RunUninstaller(folder), atRestart ? 0u : 1u);
        EXPECT_EQ(PathExists(folder), !atRestart);
        EXPECT_EQ(PathExists(folder + kUninstallerFile), !atRestart);
        EXPECT_FALSE(PathExists(DesktopLink()));
        EXPECT_FALSE(PathExists(StartMenuFolder()));
        UniqueRegKey key;
        EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, key.out()), ERROR_FILE_NOT_FOUND);
    }
    const struct {
        const char* name;
        bool payload;
        const wchar_t* folder;
        DWORD code;
    } refused[] = {
        {"folder refused", true, L"C:\\Vexo-Apps\\kavix", 2},
        {"no payload", false, L"C:\\VexoNoPayload\\kavix", 3},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        Installer installer(c.payload, std::wstring(L"/S /D=") + c.folder, L"refused");
        EXPECT_EQ(installer.ExitCodeWithin(kInstallTimeoutMs), c.code);
        EXPECT_FALSE(PathExists(c.folder));
    }
    RemoveTree(L"C:\\Vexo Apps");
    RemoveTree(L"C:\\VexoNoPayload");
}

// A release pinned as make dist pins one: each of its three files changed by a byte, or the payload
// swapped for a whole archive of other content, is refused before it is used (a box in window
// mode), nothing installed; as shipped it installs. An unpinned build says so in tmp.log, once.
TEST(FullInstall, PinnedRelease) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    const std::wstring release = WinPathFromEnv(L"VEXO_PINNED_RELEASE");
    const std::wstring folder = L"C:\\VexoPinned\\kavix";
    const struct {
        const char* name;
        const wchar_t* file;         // changed by a byte, or
        const wchar_t* replacement;  // replaced by this file of the release folder
        bool silent;
        DWORD code;
    } rows[] = {
        {"settings", L"installer.ini", nullptr, true, 6},
        {"settings, in a window", L"installer.ini", nullptr, false, 0},
        {"skin", L"res.zip", nullptr, true, 6},
        {"payload", L"platform.zip", nullptr, true, 3},
        {"payload of other content", L"platform.zip", L"other-content.zip", true, 3},
        {"as shipped", nullptr, nullptr, true, 0},
    };
    const auto linesSaying = [](const Installer& installer, const std::string& start) {
        const auto log = LogMessages(installer.folder());
        return std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.find(start) == 0; });
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RemoveTree(L"C:\\VexoPinned");
        const size_t reportedBefore = ReportsOfThisRun().size();  // the rows share the release's marker
        Installer installer(true, row.silent ? L"/S /D=" + folder : L"", L"pinned", L"", [&](const std::wstring& stage) {
            for (const wchar_t* name : {L"VexoInstaller.exe", L"installer.ini", L"res.zip", L"platform.zip"})
                EXPECT_TRUE(::CopyFileW((release + L"\\" + name).c_str(), (stage + L"\\" + name).c_str(), FALSE));
            if (row.file == nullptr) return;
            const std::wstring path = stage + L"\\" + row.file;
            if (row.replacement != nullptr) {
                EXPECT_TRUE(::CopyFileW((release + L"\\" + row.replacement).c_str(), path.c_str(), FALSE));
                return;
            }
            std::string bytes;
            ReadWholeFile(path, &bytes);
            ASSERT_FALSE(bytes.empty());
            bytes[bytes.size() / 2] ^= 0x20;
            WriteFileText(path, bytes);
        });
        if (!row.silent) {
            EXPECT_EQ(installer.window(), nullptr);
            EXPECT_EQ(Utf8(AnswerBox(installer, 10000).text), Utf8(kDamagedFilesText));
        }
        EXPECT_EQ(installer.ExitCodeWithin(kInstallTimeoutMs), row.code);
        EXPECT_EQ(linesSaying(installer, "release files not pinned"), 0);
        // The payload is refused where a damaged one is, with what a damaged one reports; the
        // others before anything reports.
        const bool reports = row.file == nullptr || std::wstring(row.file) == L"platform.zip";
        std::vector<std::string> reported;
        const auto all = ReportsOfThisRun();
        for (size_t i = reportedBefore; i < all.size(); ++i) reported.push_back(all[i].action);
        const std::vector<std::string> expected = {"activate", "install_start", "install_done"};
        EXPECT_EQ(reported, reports ? expected : std::vector<std::string>());
        if (row.file == nullptr) {
            ExpectInstalledIn(folder, installer, false);
        } else {
            EXPECT_FALSE(PathExists(folder));
            EXPECT_EQ(linesSaying(installer, "platform.zip is not the release's own"), reports ? 1 : 0);
        }
    }
    RemoveTree(L"C:\\VexoPinned");
    Installer unpinned(true, L"/S /D=" + folder, L"unpinned");
    EXPECT_EQ(unpinned.ExitCodeWithin(kInstallTimeoutMs), 0u);
    EXPECT_EQ(linesSaying(unpinned, "release files not pinned"), 1);
    RemoveTree(L"C:\\VexoPinned");
}

// A second installer while one runs: in window mode it brings the first to the front and ends,
// unattended it ends with its own code; the first goes on undisturbed.
TEST(FullInstall, TwoInstances) {
    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    Installer first;
    ASSERT_NE(first.window(), nullptr);
    Installer second(true, L"", L"second");
    EXPECT_EQ(second.window(), nullptr);
    EXPECT_EQ(second.ExitCodeWithin(10000), 0u);
    EXPECT_EQ(::GetForegroundWindow(), first.window());
    Installer silent(true, L"/S", L"third");
    EXPECT_EQ(silent.ExitCodeWithin(10000), 5u);
    EXPECT_TRUE(first.Running());
    EXPECT_EQ(InstallAndWait(first, L"first-of-two"), 0u);
    ExpectInstalledIn(DefaultFolder(), first);
}

// An installation, its emulator running and a product service there, taken back by the installed
// uninstaller, run silently or as Programs and Features runs its registered uninstall string
// (unquoted, blanks and all): what the installation listed, its links, its entry, the service and
// the emulator gone, the user's own files and whatever a hostile list line points at kept. In a
// window its last box says how it went. Then an installation again is whole.
TEST(FullInstall, Uninstall) {
    struct Case {
        const char* label;
        std::wstring folder;
        std::string hostileLines;  // appended to the list
        bool asTheShell;           // else silently, by its quoted path
        DWORD exitCode;
    };
    const Case cases[] = {
        {"product folder", DefaultFolder(), "", true, 0},
        {"user's folder", L"C:\\MyGames", "", false, 0},
        {"hostile list", L"C:\\Games\\Vexo_2", "..\\x\r\nC:\\x\r\n..\\\r\n./\r\n.\\\r\n", true, 1},
    };
    const std::vector<std::wstring> outside = {L"C:\\Games\\x", L"C:\\x"};
    const std::wstring service = PreviousServiceName(1, 0);
    // Under Wine never: every file there is the user's.
    const bool atRestart = RestartDeletionsInCommonAppData();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        // Silent, the original waits for its copy: its file, in use, is moved aside to go at the
        // next restart, or left where it is, which is something left.
        const bool originalLeft = !c.asTheShell && !atRestart;
        const DWORD exitCode = originalLeft ? 1 : c.exitCode;
        ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
        const bool usersOwn = c.folder != DefaultFolder();
        if (usersOwn) {
            RemoveTree(c.folder);
            ASSERT_EQ(::SHCreateDirectoryExW(nullptr, c.folder.c_str(), nullptr), ERROR_SUCCESS);
            WriteFileText(c.folder + L"\\save.dat", "level 7");
        }
        Installer installer;
        ASSERT_NE(installer.window(), nullptr);
        if (usersOwn) {
            ASSERT_NO_FATAL_FAILURE(TypeFolder(installer.window(), c.folder));
        }
        ASSERT_EQ(InstallAndWait(installer, L"uninstall"), 0u);
        const UniqueHandle emulator = RunningProgramStartedBy(DesktopShellPid(), kEmulatorFile + 1);
        ASSERT_TRUE(emulator) << "the installer did not start the emulator";
        Services services;
        ASSERT_NO_FATAL_FAILURE(services.Create(service, true));
        const std::vector<std::string> listed = ListLines(c.folder);
        ASSERT_EQ(listed, PayloadLines());
        if (!c.hostileLines.empty()) {
            std::string list;
            ReadWholeFile(c.folder + kInstallListFile, &list);
            WriteFileText(c.folder + kInstallListFile, list + c.hostileLines);
            for (const auto& path : outside) WriteFileText(path, "not the product's");
        }
        const std::wstring common = CommonAppData() + L"\\";
        const std::vector<std::wstring> commonBefore = FolderNames(common);

        SeenBox last;
        EXPECT_EQ(RunUninstaller(c.folder, c.asTheShell ? &last : nullptr), exitCode);
        if (c.asTheShell) {
            EXPECT_EQ(Utf8(last.caption), Utf8(kUninstallerDisplayName));
            const std::wstring said = exitCode == 0 ? kUninstallDoneText : kUninstallLeftText;
            EXPECT_EQ(Utf8(last.text.substr(0, said.size())), Utf8(said));
            // What is left: the log it names says what.
            if (exitCode != 0) {
                EXPECT_TRUE(PathExists(last.text.substr(said.size()))) << Utf8(last.text);
            }
        }

        for (const auto& line : listed)
            EXPECT_EQ(PathExists(c.folder + L"\\" + ToWide(line, CP_UTF8)), originalLeft && line == "Uninstaller.exe")
                << "still there, or gone: " << line;
        EXPECT_EQ(PathExists(c.folder), usersOwn);
        if (usersOwn) {
            std::string text;
            EXPECT_TRUE(ReadWholeFile(c.folder + L"\\save.dat", &text) && text == "level 7") << "lost the user's file";
            // A list not wholly followed stays, to say what may be left.
            EXPECT_EQ(PathExists(c.folder + kInstallListFile), exitCode != 0);
        }
        for (const auto& path : outside) {
            if (c.hostileLines.empty()) continue;
            EXPECT_TRUE(PathExists(path)) << "followed a hostile line to " << Utf8(path);
            ::DeleteFileW(path.c_str());
        }
        EXPECT_FALSE(PathExists(DesktopLink()));
        EXPECT_FALSE(PathExists(StartMenuFolder()));
        UniqueRegKey key;
        EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, key.out()), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(::WaitForSingleObject(emulator.get(), 0), WAIT_OBJECT_0) << "the emulator still runs";
        for (int i = 0; i < 100 && services.State(service) != 0; ++i) ::Sleep(50);
        EXPECT_EQ(services.State(service), 0u) << "the service is still there";
        // It ran from a copy in a new folder of the common application data that only
        // administrators can write; that, and the folder files in use were moved to, go at the next
        // restart, each after what is in it. Where no user could be kept from changing their way by
        // then, the copy stays, and the log says so.
        const std::vector<std::wstring> pending = DeletedAtRestart();
        std::string log;
        ReadWholeFile(TempFolder() + kProductFolderName + L"-uninstall.log", &log);
        size_t copies = 0;
        for (const auto& path : FolderNames(common)) {
            if (std::find(commonBefore.begin(), commonBefore.end(), path) != commonBefore.end()) continue;
            const bool copy = path.find(L"\\Uninstaller-") != std::wstring::npos;
            copies += copy ? 1 : 0;
            EXPECT_TRUE(OnlyAdministratorsWrite(path)) << Utf8(path);
            std::vector<std::wstring> left = FolderNames(path + L"\\");
            if (copy) {
                EXPECT_EQ(left.size(), 1u) << "beside the copy in " << Utf8(path);
            }
            if (!atRestart) {
                EXPECT_TRUE(copy) << "made and left: " << Utf8(path);
                EXPECT_NE(log.find("left in place, not deleted at restart: " + Utf8(path + kUninstallerFile)),
                          std::string::npos)
                    << log;
                RemoveTree(path);
                continue;
            }
            left.push_back(path);  // once what is in it has gone
            auto after = pending.begin();
            for (auto file : left) {
                ::CharUpperBuffW(&file[0], static_cast<DWORD>(file.size()));
                const auto at = std::find(after, pending.end(), file);
                EXPECT_NE(at, pending.end()) << "not to be deleted at restart, in order: " << Utf8(file);
                if (at != pending.end()) after = at;
            }
        }
        EXPECT_EQ(copies, 1u) << "no copy in a folder of its own";
        if (usersOwn) RemoveTree(c.folder);
    }
    RemoveTree(L"C:\\Games");

    ASSERT_NO_FATAL_FAILURE(ResetSystem(true));
    Installer installer;
    ASSERT_NE(installer.window(), nullptr);
    EXPECT_EQ(InstallAndWait(installer, L"after-uninstall"), 0u);
    ExpectInstalledIn(DefaultFolder(), installer);
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--service") == 0) return RunAsService();
    if (argc > 1 && std::strcmp(argv[1], "--sleep") == 0) {
        ::Sleep(120000);
        return 0;
    }
    ::CoInitialize(nullptr);
    // Window sizes and input in real pixels, whatever scale the installer is drawn at.
    using SetProcessDpiAwareProc = BOOL(WINAPI*)();
    if (const auto aware = reinterpret_cast<SetProcessDpiAwareProc>(
            reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "SetProcessDPIAware"))))
        aware();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
