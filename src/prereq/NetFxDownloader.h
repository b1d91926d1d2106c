#pragma once
// The two .NET Framework downloads of the first task, into the installer's own folder.

#include <cstddef>
#include <cstdio>
#include <string>

class DotNetFrameworkTask;

// The .NET 2.0 service pack from the download server; state InstallSp2 or Abort.
void DownloadSp2(DotNetFrameworkTask& task);
// The .NET 3.5 installer for this edition from the version server; state InstallNetFx or Abort.
void DownloadNetFx(DotNetFrameworkTask& task);

// The report's text when a download fails.
constexpr wchar_t kDownloadFailedReport[] = L"下载.net出错";

// libcurl's write callback: the block goes straight to the open file.
size_t CurlWriteToFile(void* data, size_t size, size_t count, FILE* file);

std::wstring Sp2Url();
std::wstring NetFxUrl(const std::wstring& installerName);

// When a transfer is given up: no connection within connectSeconds, or fewer than
// lowSpeedBytesPerSecond arriving for lowSpeedSeconds on end.
struct TransferLimits {
    long connectSeconds = 30;
    long lowSpeedBytesPerSecond = 1024;
    long lowSpeedSeconds = 60;
};

// The result of one transfer, and whether its file may be run as an installer.
enum class DownloadResult { Ok, NoHandle, NoFile, TransferFailed, HttpError, NotAnExecutable };

// Fetches url into path (created or truncated). Only Ok leaves a file behind: a failed
// transfer, an error status or a body that is not a Windows program is deleted.
DownloadResult DownloadToFile(const std::wstring& url, const std::wstring& path, const TransferLimits& limits = {});
