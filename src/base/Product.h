#pragma once
// The product's fixed names, in one place: folders, files, keys and the names users see.

// The install folder's own name (the default folder and every folder picked in the dialog end
// in it), the registry keys' last name, and a name its processes carry.
constexpr wchar_t kProductFolderName[] = L"kavix";
constexpr wchar_t kProductDisplayName[] = L"Vexo模拟器";
constexpr wchar_t kInstallerDisplayName[] = L"Vexo模拟器安装程序";
constexpr wchar_t kUninstallerDisplayName[] = L"Vexo模拟器卸载程序";
constexpr wchar_t kUninstallConfirmText[] = L"确定要卸载Vexo模拟器吗？";
// The uninstaller's last box in a window; the two ending in a colon are followed by the log's path.
constexpr wchar_t kUninstallDoneText[] = L"Vexo模拟器已成功卸载。";
constexpr wchar_t kUninstallAtRestartText[] = L"Vexo模拟器已卸载，部分正在使用的文件将在重新启动计算机后删除。";
constexpr wchar_t kUninstallLeftText[] = L"Vexo模拟器已卸载，但部分内容未能删除，详情请查看日志：";
constexpr wchar_t kUninstallFailedText[] = L"Vexo模拟器未能卸载，详情请查看日志：";

// Files of the installed product, below the install folder.
constexpr wchar_t kEmulatorFile[] = L"\\ZavozidaDedor.exe";
constexpr wchar_t kUninstallerFile[] = L"\\Uninstaller.exe";
// Run with administrator rights after the registration; its folder may be the user's to write.
constexpr wchar_t kRuntimePackageFile[] = L"\\assets\\software\\vc.exe";
// What the extraction created, written last: one path a line (UTF-8), relative to the install
// folder, a folder's ending in a backslash. The uninstaller removes what it names.
constexpr wchar_t kInstallListFile[] = L"\\install.lst";
// Its first line: a list without it (another tool's, or one written before the line existed) is
// not taken for ours.
constexpr char kInstallListHeader[] = "kavix install list 1";
// The emulator's process name, as the cleanup of an earlier installation looks for it.
constexpr wchar_t kEmulatorProcessName[] = L"ZavozidaDedor";

// What every installer's file name starts with ("Vexosetup_1.0.6.30_full_web_07.exe").
constexpr wchar_t kInstallerFilePrefix[] = L"Vexosetup";

// Held while an installer runs: one at a time on the machine, whichever user started it.
constexpr wchar_t kInstallerMutexName[] = L"Global\\VexoInstaller.kavix";

// Files beside the installer.
constexpr wchar_t kPayloadFile[] = L"\\platform.zip";
constexpr wchar_t kSkinArchiveName[] = L"res.zip";

// Under the current user: channel, install time, client id.
constexpr wchar_t kProductKey[] = L"Software\\kavix";
// Under the local machine, which only administrators write: an upgrade under way, one value a
// folder, so that the next start finishes or undoes a run that was cut short.
constexpr wchar_t kUnfinishedSwapsKey[] = L"SOFTWARE\\kavix\\Unfinished";
// Under the local machine: the entry among the installed programs.
constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\kavix";
