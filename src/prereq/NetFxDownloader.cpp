// The task's download steps: each download fetched into the installer's folder, then taken for
// running. The transfer is DownloadTransfer's, the partial file PartialDownload's, the naming and
// the check FinishedDownload's.
#include "prereq/NetFxDownloader.h"

#include <windows.h>

#include <string>
#include <utility>

#include "base/BuildConfig.h"
#include "base/Log.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/DownloadTransfer.h"
#include "prereq/FinishedDownload.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"

namespace {

const char* Describe(DownloadResult result) {
    switch (result) {
        case DownloadResult::Ok: return "ok";
        case DownloadResult::NoHandle: return "no transfer handle";
        case DownloadResult::NoFile: return "the target file cannot be created";
        case DownloadResult::TransferFailed: return "the transfer failed";
        case DownloadResult::HttpError: return "the server answered with an error status";
        case DownloadResult::NotAnExecutable: return "the body is not a Windows program";
    }
    return "?";
}

void Download(DotNetFrameworkTask& task, const std::wstring& url, const std::wstring& path, const std::wstring& name,
              bool logUrl, NetFxState success) {
    LogFormatW(g_log, L"DotNetFrameworkTask download framework enter now");
    UniqueCurl curl(curl_easy_init());
    DownloadResult result = DownloadResult::NoHandle;
    DownloadedFile done;
    if (curl) {
        PostProgress(task.mainWindow, 15, kProgressNetFx);
        const DownloadWhat what = success == NetFxState::InstallSp2 ? kDownloadSp2 : kDownloadNetFx35;
        result = Transfer(std::move(curl), url, path, logUrl, task.downloadLimits, &done,
                          DownloadProgress{task.mainWindow, what});
    }
    if (result != DownloadResult::Ok) {
        LogFormat(g_log, 3, "download failed: %s", Describe(result));
        FailDownload(task);
    } else {
        TakeDownload(task, done, name, success);
    }
    LogFormatW(g_log, L"DotNetFrameworkTask downlaod framework exit now");
}

}  // namespace

void FailDownload(DotNetFrameworkTask& task) {
    Report(L"install_err", kDownloadFailedReport, L"", L"");
    PostNetFxDownloadError(task.mainWindow);
    task.state = NetFxState::Abort;
}

std::wstring Sp2Url() { return std::wstring(L"http://") + kDownloadHost + L"/others/dotnet/sp2.exe"; }

std::wstring NetFxUrl(const std::wstring& installerName) {
    return std::wstring(L"http://") + kStatsHost + L":10080/dotnet/ver.php?ver=" + installerName;
}

DownloadResult DownloadToFile(const std::wstring& url, const std::wstring& path, const TransferLimits& limits,
                              DownloadedFile* done, const DownloadProgress& progress) {
    UniqueCurl curl(curl_easy_init());
    return curl ? Transfer(std::move(curl), url, path, false, limits, done, progress) : DownloadResult::NoHandle;
}

void DownloadSp2(DotNetFrameworkTask& task) {
    Download(task, Sp2Url(), task.moduleDir + L"\\sp2.exe", L"sp2", false, NetFxState::InstallSp2);
}

void DownloadNetFx(DotNetFrameworkTask& task) {
    const std::wstring url = NetFxUrl(task.installerName);
    Download(task, url, task.moduleDir + L"\\" + task.installerName + L".exe", task.installerName, true,
             NetFxState::InstallNetFx);
}
