#pragma once
// The two .NET Framework downloads of the first task, into the installer's own folder.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/Owners.h"
#include "base/Sha256.h"
#include "tasks/InstallMessages.h"

class DotNetFrameworkTask;
enum class NetFxState : int32_t;

// The .NET 2.0 service pack from the download server; state InstallSp2 or Abort.
void DownloadSp2(DotNetFrameworkTask& task);
// The .NET 3.5 installer for this edition from the version server; state InstallNetFx or Abort.
void DownloadNetFx(DotNetFrameworkTask& task);

// The report's text when a download fails.
constexpr wchar_t kDownloadFailedReport[] = L"下载.net出错";

std::wstring Sp2Url();
std::wstring NetFxUrl(const std::wstring& installerName);

// When a try is given up: no connection within connectSeconds, or fewer than
// lowSpeedBytesPerSecond arriving for lowSpeedSeconds on end. A try that breaks once bytes have
// arrived is resumed where it stopped, after firstRetryWaitMs (doubled up to eight times that),
// until `retries` tries in a row brought nothing new or overallMs have passed since the start.
struct TransferLimits {
    long connectSeconds = 30;
    long lowSpeedBytesPerSecond = 1024;
    long lowSpeedSeconds = 60;
    int retries = 5;
    DWORD firstRetryWaitMs = 1000;
    DWORD overallMs = 30 * 60 * 1000;
};

// The result of one transfer, and whether its file may be run as an installer.
enum class DownloadResult { Ok, NoHandle, NoFile, TransferFailed, HttpError, NotAnExecutable };

// What a finished download is known by: the SHA-256 of every byte written into its file, so that a
// handle opened on it later can tell it is still that file.
struct DownloadedFile {
    std::wstring path;
    Sha256Digest digest = {};
    // Where Windows renames through a handle (Vista and later): the file, held sharing reading
    // only since before it had its name, so nobody ever opens it for writing under that name.
    UniqueFile held;
};

// Where a transfer reports how much has arrived (WM_DOWNLOAD_STATE, WM_DOWNLOAD_PROGRESS); no
// window, no reports.
struct DownloadProgress {
    HWND window = nullptr;
    DownloadWhat what = kDownloadNetFx35;
};

// Fetches url into path. Only Ok leaves a file under that name, written whole (*done then says
// what was written): a failed transfer, an error status or a body that is not a Windows program
// leaves none there. What arrived of a transfer given up stays beside it as PartialDownloadPath,
// with the server's validator, and the next call for the same url goes on from there.
DownloadResult DownloadToFile(const std::wstring& url, const std::wstring& path, const TransferLimits& limits = {},
                              DownloadedFile* done = nullptr, const DownloadProgress& progress = {});

// Forgets what an earlier run received of path's download, so the next one starts at byte 0.
void DiscardPartialDownload(const std::wstring& path);

// Takes a finished download for running. Reopens it sharing reading only, so from then on nobody can
// change, rename or delete it, and checks through that handle that it is still what was written,
// that a trusted publisher signed it and, when this build pins `name` ("sp2", an installer's name),
// that it is the pinned file. Taken: the task holds the handle (heldDownload) and goes to `success`.
// Refused: the file is deleted, the reason logged, and the task fails as for a failed download.
void TakeDownload(DotNetFrameworkTask& task, DownloadedFile& done, const std::wstring& name,
                  NetFxState success);
std::wstring PartialDownloadPath(const std::wstring& path);
