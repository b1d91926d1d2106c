#pragma once
// What the window says to the user, word for word.

#include <cstdint>
#include <string>

constexpr wchar_t kMessageCaption[] = L"提示";
constexpr wchar_t kExitConfirmText[] = L"确认要退出Vexo模拟器安装程序吗？";
constexpr wchar_t kFolderDialogTitle[] = L"请您选择适合的安装目录(建议保留4G空间):";
constexpr wchar_t kNetFxDownloadErrorText[] = L"下载.NET运行环境出错，请检查网络后再重新安装。";
constexpr wchar_t kDiskSpaceErrorText[] = L"安装失败，硬盘空间不足，请重新选择安装路径再安装。";
// A second installer that finds no window of the first (a silent one, or whatever holds its mutex).
constexpr wchar_t kAnotherInstallerRunningText[] = L"另一个安装程序正在运行，请等它结束后再试。";
// The files beside the installer are not the ones it was released with.
constexpr wchar_t kDamagedFilesText[] = L"安装程序的文件已损坏，请重新下载安装程序后再安装。";
// The installer itself failed (an unhandled exception); an earlier installation was put back.
constexpr wchar_t kInstallerFailedText[] = L"安装程序出现错误，安装未完成，电脑上的内容没有被更改。";

// The progress label at a percentage; while .NET is being installed it says so, and how long it takes.
std::wstring ProgressTip(int percent, bool installingNetFx);

// The prerequisites a download may fetch, as the label names them.
constexpr wchar_t kNetFx35Name[] = L".NET Framework 3.5";
constexpr wchar_t kSp2Name[] = L".NET Framework 2.0 SP2";
// The label while `what` downloads: the share and both sizes, or the size alone when the total is
// unknown (totalKiB < 0); after a break it says the download goes on. Sizes in MB of 1,048,576
// bytes (as Windows shows the file's size), one decimal, rounded.
std::wstring DownloadTip(const wchar_t* what, bool resuming, uint64_t arrivedKiB, int64_t totalKiB);
