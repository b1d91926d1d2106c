// Registration in the shared 32-bit prefix: the uninstall entry (its details in a key of the
// test's own, the real one through Run), the emulator's version, and the user's real links read
// back through the shell. Everything written is removed again. The Wow64 test runs in the 64-bit
// prefix (registration_wow64).
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <psapi.h>

#include <map>
#include <string>
#include <thread>
#include <utility>

#include "TestFiles.h"
#include "app/InstallChain.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "prereq/RunVCTask.h"
#include "registration/RegSoftwareTask.h"
#include "registration/Shortcuts.h"
#include "tasks/InstallMessages.h"

namespace {

constexpr wchar_t kTestKey[] = L"Software\\VexoTests\\kavix";

std::wstring SampleVersion() {
    wchar_t version[64] = L"";
    ::GetEnvironmentVariableW(L"VEXO_PAYLOAD_VERSION", version, 64);
    return std::wstring(L" ") + version;
}

// An install folder with a blank and Chinese characters: the uninstaller, and the build output
// named by `emulator` as the emulator.
std::wstring InstallFolder(const std::wstring& name, const wchar_t* emulator = L"VEXO_EMULATOR") {
    const std::wstring folder = FreshScratch(name) + L"\\Vexo 模拟器";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    if (emulator != nullptr)
        ::CopyFileW(WinPathFromEnv(emulator).c_str(), (folder + kEmulatorFile).c_str(), FALSE);
    ::CopyFileW(WinPathFromEnv(L"VEXO_UNINSTALLER").c_str(), (folder + kUninstallerFile).c_str(), FALSE);
    return folder;
}

// Every value of the key: texts as "sz:" with the bytes stored (so with their terminator), and
// numbers as "dword:". Wine stores a missing terminator itself; a surplus one still shows.
std::map<std::wstring, std::wstring> Values(HKEY root, const wchar_t* subkey, REGSAM view = 0) {
    std::map<std::wstring, std::wstring> values;
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, subkey, 0, KEY_READ | view, key.out()) != ERROR_SUCCESS) return values;
    wchar_t name[256], data[512];
    for (DWORD i = 0, chars = 256, bytes = sizeof data, type = 0;
         ::RegEnumValueW(key.get(), i, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) == 0;
         ++i, chars = 256, bytes = sizeof data) {
        values[name] = type == REG_SZ      ? L"sz:" + std::wstring(data, bytes / sizeof(wchar_t))
                       : type == REG_DWORD ? L"dword:" + std::to_wstring(data[0] | data[1] << 16)
                                           : L"type " + std::to_wstring(type);
    }
    return values;
}

std::map<std::wstring, std::wstring> Entry(const std::wstring& folder, const std::wstring& version) {
    const auto sz = [](const std::wstring& text) { return L"sz:" + text + L'\0'; };
    return {{L"DisplayName", sz(kProductDisplayName)},
            {L"NoModify", L"dword:1"},
            {L"NoRepair", L"dword:1"},
            {L"Publisher", sz(kProductDisplayName)},
            {L"DisplayIcon", sz(folder + kEmulatorFile)},
            {L"DisplayVersion", sz(version)},
            {L"UninstallString", sz(L"\"" + folder + kUninstallerFile + L"\"")}};
}

// The file name of the program Windows starts for a command line given whole, as the shell starts
// a registered one; empty when none starts. Ended at once.
std::wstring StartedProgram(std::wstring commandLine) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                          &startup, &started))
        return {};
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    wchar_t image[MAX_PATH * 2] = {};
    const DWORD length = ::GetProcessImageFileNameW(process.get(), image, MAX_PATH * 2);
    ::TerminateProcess(process.get(), 0);
    const std::wstring path(image, length);
    return path.substr(path.find_last_of(L"\\") + 1);
}

// Whether a lasting subkey can be made under the key: a volatile key refuses one.
LONG LastingChild(HKEY root, const std::wstring& subkey) {
    UniqueRegKey child;
    return ::RegCreateKeyExW(root, (subkey + L"\\lasting").c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, child.out(), nullptr);
}

TEST(UninstallEntry, WrittenWholeToALastingKeyRewrittenInPlaceAndDeletedWhole) {
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VexoTests");
    RegSoftwareTask task(nullptr);
    task.SetInstallPath(InstallFolder(L"entry"));
    WriteUninstallEntry(task, HKEY_CURRENT_USER, kTestKey);
    EXPECT_EQ(Values(HKEY_CURRENT_USER, kTestKey), Entry(task.installPath, SampleVersion()));
    // Run as the shell runs it, a program a user put where the folder's blank cuts its path never
    // starts; unquoted, it would.
    const std::wstring parent = task.installPath.substr(0, task.installPath.rfind(L'\\'));
    ASSERT_TRUE(::CopyFileW(WinPathFromEnv(L"VEXO_EMULATOR").c_str(), (parent + L"\\Vexo.exe").c_str(), FALSE));
    wchar_t registered[MAX_PATH * 2] = {};
    DWORD bytes = sizeof registered;
    ASSERT_EQ(::SHGetValueW(HKEY_CURRENT_USER, kTestKey, L"UninstallString", nullptr, registered, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(Utf8(StartedProgram(registered)), Utf8(kUninstallerFile + 1));
    EXPECT_EQ(Utf8(StartedProgram(task.installPath + kUninstallerFile)), "Vexo.exe");
    // Listed after a restart too; the volatile key shows the check tells the two apart here.
    EXPECT_EQ(LastingChild(HKEY_CURRENT_USER, kTestKey), ERROR_SUCCESS);
    UniqueRegKey volatileKey;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\VexoTests\\volatile", 0, nullptr, REG_OPTION_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, volatileKey.out(), nullptr);
    EXPECT_EQ(LastingChild(HKEY_CURRENT_USER, L"Software\\VexoTests\\volatile"), ERROR_CHILD_MUST_BE_VOLATILE);
    ::SHDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kTestKey) + L"\\lasting").c_str());

    // Over an older entry with values of other types, from a folder without the emulator.
    ::SHSetValueW(HKEY_CURRENT_USER, kTestKey, L"NoModify", REG_SZ, L"0", 4);
    const DWORD five = 5;
    ::SHSetValueW(HKEY_CURRENT_USER, kTestKey, L"DisplayVersion", REG_DWORD, &five, sizeof five);
    task.SetInstallPath(InstallFolder(L"entry-again", nullptr));
    WriteUninstallEntry(task, HKEY_CURRENT_USER, kTestKey);
    EXPECT_EQ(Values(HKEY_CURRENT_USER, kTestKey), Entry(task.installPath, L"1.0.6.25"));

    // Deleted whole, with a subkey someone added; deleting it again finds it gone.
    ASSERT_EQ(LastingChild(HKEY_CURRENT_USER, kTestKey), ERROR_SUCCESS);
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(DeleteUninstallEntry(task.installPath, HKEY_CURRENT_USER, kTestKey));
        UniqueRegKey gone;
        EXPECT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, gone.out()), ERROR_FILE_NOT_FOUND);
    }
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VexoTests");
}

// The uninstaller of one folder deletes the entry only when it names that folder: another
// installation's stays, as it is that one's only way out.
TEST(UninstallEntry, DeletedOnlyByTheUninstallerOfTheFolderItNames) {
    const std::wstring folder = InstallFolder(L"own");
    const std::wstring other = InstallFolder(L"own-other");
    const struct {
        const char* label;
        std::wstring uninstallString, displayIcon;
        bool deleted;
    } cases[] = {
        {"as written", folder + kUninstallerFile, folder + kEmulatorFile, true},
        {"quoted, with an option", L"\"" + folder + kUninstallerFile + L"\" /S", L"", true},
        {"only the icon", L"", folder + kEmulatorFile, true},
        {"another folder", other + kUninstallerFile, folder + kEmulatorFile, false},
        {"a folder named as its start", folder + L"2" + kUninstallerFile, L"", false},
        {"climbing out", folder + L"\\.." + kUninstallerFile, L"", false},
        {"naming none", L"", L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VexoTests");
        ::SHSetValueW(HKEY_CURRENT_USER, kTestKey, L"DisplayName", REG_SZ, L"", sizeof(wchar_t));
        for (const auto& [name, value] :
             {std::make_pair(L"UninstallString", c.uninstallString), std::make_pair(L"DisplayIcon", c.displayIcon)}) {
            if (!value.empty())
                ::SHSetValueW(HKEY_CURRENT_USER, kTestKey, name, REG_SZ, value.c_str(),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        }
        EXPECT_TRUE(DeleteUninstallEntry(folder, HKEY_CURRENT_USER, kTestKey));
        UniqueRegKey key;
        EXPECT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, key.out()),
                  c.deleted ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
    }
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VexoTests");
}

// What the installation goes on past is not lost silently: each failure is logged with its call
// and its code.
TEST(RegistrationFailures, AreLoggedWithTheirCallAndCode) {
    const std::wstring scratch = FreshScratch(L"failures");
    ASSERT_NE(InitLogAt(scratch + L"\\tmp.log"), nullptr);
    RegSoftwareTask task(nullptr);
    task.SetInstallPath(scratch);
    // The entry's lasting key cannot be made below a volatile one.
    UniqueRegKey volatileKey;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\VexoTests\\volatile", 0, nullptr, REG_OPTION_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, volatileKey.out(), nullptr),
              ERROR_SUCCESS);
    WriteUninstallEntry(task, volatileKey.get(), L"kavix");
    // Nor deleted below a key handle already closed.
    const HKEY closed = volatileKey.get();
    volatileKey.reset();
    EXPECT_FALSE(DeleteUninstallEntry(scratch, closed, L"kavix"));
    ::SHDeleteKeyW(HKEY_CURRENT_USER, L"Software\\VexoTests");
    // No link can be saved into a folder that does not exist.
    const ComScope com;
    EXPECT_FALSE(CreateShellLink(scratch + kEmulatorFile, scratch + L"\\missing", nullptr, L"link.lnk"));

    std::string log;
    ASSERT_TRUE(ReadWholeFile(scratch + L"\\tmp.log", &log));
    EXPECT_NE(log.find("[ERROR] RegCreateKeyExW failed for kavix, error 1021 ["), std::string::npos) << log;
    EXPECT_NE(log.find("[ERROR] RegOpenKeyExW failed for kavix, error 6 ["), std::string::npos) << log;
    EXPECT_NE(log.find("[ERROR] IPersistFile::Save failed for " + ToUserAnsi(scratch) + "\\missing\\link.lnk, error 0x"),
              std::string::npos)
        << log;
}

TEST(EmulatorVersion, ProductVersionWordsWholeWithALeadingBlankOrTheFallback) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {InstallFolder(L"version-missing", nullptr), L"1.0.6.25"},
        {InstallFolder(L"version-none", L"VEXO_UNINSTALLER"), L"1.0.6.25"},  // no version resource
        {InstallFolder(L"version-sample"), SampleVersion()},
        // The product version, not the file version (9.8.7.6), with words above 255.
        {InstallFolder(L"version-wide", L"VEXO_WIDE_EMULATOR"), L" 300.256.1000.65535"}};
    for (const auto& c : cases) {
        RegSoftwareTask task(nullptr);
        task.SetInstallPath(c.first);
        EXPECT_EQ(GetEmulatorVersion(task), c.second) << c.first;
    }
    EXPECT_FALSE(IsWow64());
}

std::wstring Folder(int csidl) {
    wchar_t path[MAX_PATH] = L"";
    return SUCCEEDED(::SHGetFolderPathW(nullptr, csidl, nullptr, 0, path)) ? path : L"<none>";
}
const std::wstring kDesktopLink = Folder(CSIDL_DESKTOPDIRECTORY) + L"\\" + EmulatorLinkName();
const std::wstring kStartMenu = Folder(CSIDL_PROGRAMS) + L"\\" + kProductDisplayName;

void RemoveRealEntryAndLinks() {
    ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
    ::DeleteFileW(kDesktopLink.c_str());
    RemoveTree(kStartMenu);
}

// The entry in both views of the registry, gone: this test must leave its prefix as it found it.
void RemoveEntryFromBothViews() {
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        UniqueRegKey parent;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", 0,
                            KEY_ALL_ACCESS | view, parent.out()) == ERROR_SUCCESS)
            ::RegDeleteKeyW(parent.get(), L"kavix");
    }
}

TEST(Wow64, EntryInThe32BitViewWithWholeVersionWords) {
    if (!IsWow64()) GTEST_SKIP() << "for the 64-bit prefix";
    RemoveEntryFromBothViews();
    RegSoftwareTask task(nullptr);
    task.SetInstallPath(InstallFolder(L"wow64", L"VEXO_WIDE_EMULATOR"));
    WriteUninstallEntry(task);
    EXPECT_EQ(Values(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY),
              Entry(task.installPath, L" 300.256.1000.65535"));
    EXPECT_TRUE(Values(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_64KEY).empty());
    RemoveEntryFromBothViews();
}

TEST(RegSoftwareTaskRun, PostsTwoStepsWritesTheEntryAndLinksAndChainsTheRuntimeTask) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    RemoveRealEntryAndLinks();
    RegSoftwareTask task(window, MakeRunVCTask);
    task.progressBase = 60;
    task.SetInstallPath(InstallFolder(L"run"));
    task.SetModuleDir(L"Z:\\installer");
    task.runtimePackageSha256 = "0a1b";
    task.Run();

    std::vector<std::pair<WPARAM, LPARAM>> posted;
    for (MSG msg; ::PeekMessageW(&msg, window, 0, 0, PM_REMOVE);)
        posted.emplace_back(msg.message == WM_INSTALL_PROGRESS ? msg.wParam : msg.message, msg.lParam);
    EXPECT_EQ(posted, (std::vector<std::pair<WPARAM, LPARAM>>{{70, -1}, {80, -1}}));

    auto* runtime = dynamic_cast<RunVCTask*>(task.next);
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(runtime->mainWindow, window);
    EXPECT_EQ(runtime->installPath, task.installPath);
    EXPECT_EQ(runtime->moduleDir, L"");
    EXPECT_EQ(runtime->runtimePackageSha256, task.runtimePackageSha256);
    EXPECT_EQ(runtime->progressBase, 80);
    EXPECT_EQ(runtime->next, nullptr);
    delete runtime;
    EXPECT_EQ(Values(HKEY_LOCAL_MACHINE, kUninstallKey), Entry(task.installPath, SampleVersion()));
    EXPECT_TRUE(PathExists(kDesktopLink));
    RemoveRealEntryAndLinks();
    ::DestroyWindow(window);
}

// The link's target, description, arguments, working folder and show command, as one text.
std::wstring ReadLink(const std::wstring& path) {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.out())) || FAILED(file->Load(path.c_str(), STGM_READ)))
        return L"<no link>";
    // Wine's GetPath gives the target in the ANSI code page (Chinese names as '?'); the item list
    // keeps it whole. Texts are cut at their first null: they may come back with one included.
    wchar_t target[MAX_PATH] = L"", description[512] = L"", arguments[512] = L"", folder[MAX_PATH] = L"";
    LPITEMIDLIST items = nullptr;
    if (SUCCEEDED(link->GetIDList(&items)) && items != nullptr) ::SHGetPathFromIDListW(items, target);
    const UniqueCoTaskMemory itemsOwner(items);
    link->GetDescription(description, 512);
    link->GetArguments(arguments, 512);
    link->GetWorkingDirectory(folder, MAX_PATH);
    int show = -1;
    link->GetShowCmd(&show);
    return std::wstring(target) + L"|" + description + L"|" + arguments + L"|" + folder + L"|" + std::to_wstring(show);
}

std::wstring Expected(const std::wstring& target, const std::wstring& description) {
    return target + L"|" + description + L"|||" + std::to_wstring(SW_SHOWNORMAL);
}

void ExpectLinks(const std::wstring& installPath) {
    EXPECT_EQ(ReadLink(kDesktopLink), Expected(installPath + kEmulatorFile, kProductDisplayName));
    EXPECT_EQ(ReadLink(kStartMenu + L"\\" + EmulatorLinkName()), Expected(installPath + kEmulatorFile, kProductDisplayName));
    EXPECT_EQ(ReadLink(kStartMenu + L"\\" + UninstallerLinkName()),
              Expected(installPath + kUninstallerFile, kUninstallerDisplayName));
}

// As the runner does it: on a thread of its own that has not set up COM.
void CreateShortcutsOnAThread(const std::wstring& installPath) {
    RegSoftwareTask task(nullptr);
    task.SetInstallPath(installPath);
    std::thread([&task] { CreateShortcuts(task); }).join();
}

TEST(Shortcuts, ThreeUserLinksOverwrittenByASecondInstallInTheSameFolderThenRemoved) {
    const ComScope com;
    ASSERT_TRUE(SUCCEEDED(com.result()));
    RemoveRealEntryAndLinks();
    const std::wstring first = InstallFolder(L"links");
    CreateShortcutsOnAThread(first);
    ExpectLinks(first);
    EXPECT_FALSE(PathExists(Folder(CSIDL_COMMON_DESKTOPDIRECTORY) + L"\\" + EmulatorLinkName()));
    EXPECT_FALSE(PathExists(Folder(CSIDL_COMMON_PROGRAMS) + L"\\" + kProductDisplayName));

    const std::wstring marker = kStartMenu + L"\\marker";
    ASSERT_TRUE(::CreateDirectoryW(marker.c_str(), nullptr));
    // A program of the user's put a second name of its own file at the desktop link's name.
    const std::wstring victim = FreshScratch(L"links-victim") + L"\\victim.txt";
    ASSERT_TRUE(WriteWholeFile(victim, "the user's own"));
    ASSERT_TRUE(::DeleteFileW(kDesktopLink.c_str()) && ::CreateHardLinkW(kDesktopLink.c_str(), victim.c_str(), nullptr));
    const std::wstring second = InstallFolder(L"links-again");
    CreateShortcutsOnAThread(second);
    ExpectLinks(second);
    EXPECT_TRUE(PathExists(marker));
    std::string victimData;
    EXPECT_TRUE(ReadWholeFile(victim, &victimData) && victimData == "the user's own") << victimData;

    // The uninstaller of the first folder leaves the second's links.
    EXPECT_TRUE(RemoveShortcuts(first));
    ExpectLinks(second);

    // Removed; the start-menu folder stays while the user keeps something in it, and then goes.
    for (const bool userKeepsSomething : {true, false}) {
        if (!userKeepsSomething) {
            ASSERT_TRUE(::RemoveDirectoryW(marker.c_str()));
        }
        EXPECT_TRUE(RemoveShortcuts(second));
        EXPECT_FALSE(PathExists(kDesktopLink));
        EXPECT_FALSE(PathExists(kStartMenu + L"\\" + EmulatorLinkName()));
        EXPECT_FALSE(PathExists(kStartMenu + L"\\" + UninstallerLinkName()));
        EXPECT_EQ(PathExists(kStartMenu), userKeepsSomething);
    }
    RemoveRealEntryAndLinks();
}

TEST(Shortcuts, LinkPathMustFitMaxPath) {
    const ComScope com;
    ASSERT_TRUE(SUCCEEDED(com.result()));
    const std::wstring target = InstallFolder(L"long") + kEmulatorFile;
    const std::wstring folder = FreshScratch(L"long-links");
    // Folder, separator and name: 259 characters fit with the terminator, 260 do not.
    const std::wstring fits = std::wstring(MAX_PATH - 2 - folder.size() - 4, L'k') + L".lnk";
    EXPECT_TRUE(CreateShellLink(target, folder, kProductDisplayName, fits));
    EXPECT_EQ(ReadLink(folder + L"\\" + fits), Expected(target, kProductDisplayName));
    EXPECT_FALSE(CreateShellLink(target, folder, kProductDisplayName, L"k" + fits));
    EXPECT_FALSE(PathExists(L"\\\\?\\" + folder + L"\\k" + fits));
}

}  // namespace
