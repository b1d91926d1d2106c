#include "prereq/NetFxDownloader.h"

#include <windows.h>

#include <curl/curl.h>

#include "base/BuildConfig.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/DownloadProxy.h"
#include "prereq/Signature.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"

namespace {

using UniqueCurl = ScopedHandle<FreedBy<CURL*, curl_easy_cleanup>>;

// The failure path of both downloads: report, tell the window, end the chain.
void Fail(DotNetFrameworkTask& task) {
    Report(L"install_err", kDownloadFailedReport, L"", L"");
    PostNetFxDownloadError(task.mainWindow);
    task.state = NetFxState::Abort;
}

bool StartsWithMz(const std::wstring& path) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    char head[2] = {};
    DWORD got = 0;
    return ::ReadFile(file.get(), head, 2, &got, nullptr) && got == 2 && head[0] == 'M' && head[1] == 'Z';
}

// Streams url into path and releases curl. Only a complete program is kept: a failed
// transfer, an error status or any other body is deleted, so it is never run.
DownloadResult Transfer(UniqueCurl curl, const std::wstring& url, const std::wstring& path, bool logUrl,
                        const TransferLimits& limits) {
    UniqueCFile file(_wfopen(path.c_str(), L"wb"));
    if (!file) return DownloadResult::NoFile;
    // The user's ANSI code page, as the C library's own locale would give it, without switching
    // the process-wide locale under the window's thread.
    const std::string narrowUrl = ToUserAnsi(url);
    if (logUrl) LogFormat(g_log, 3, "downloadURL %s", narrowUrl.c_str());
    CURL* const c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, narrowUrl.c_str());
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    // This libcurl follows redirects without end by default: a circle would never finish.
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, CurlWriteToFile);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, file.get());
    // An unreachable or stalled server must end in the error box, not in a window that waits forever.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, limits.connectSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
    // The user's proxy, as the reports use it; with none set, libcurl is left as it was.
    const DownloadProxy proxy = ProxyForDownload(url);
    if (!proxy.proxy.empty()) {
        curl_easy_setopt(c, CURLOPT_PROXY, proxy.proxy.c_str());
        curl_easy_setopt(c, CURLOPT_NOPROXY, proxy.noProxy.c_str());
    }
    const CURLcode code = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl.reset();
    // Closed by hand: a failed close (data not written) fails the download.
    const bool closed = std::fclose(file.release()) == 0;

    DownloadResult result = DownloadResult::Ok;
    if (code != CURLE_OK || !closed) result = DownloadResult::TransferFailed;
    else if (status >= 400) result = DownloadResult::HttpError;
    else if (!StartsWithMz(path)) result = DownloadResult::NotAnExecutable;
    if (result != DownloadResult::Ok) ::DeleteFileW(path.c_str());
    return result;
}

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

void Download(DotNetFrameworkTask& task, const std::wstring& url, const std::wstring& path, bool logUrl,
              NetFxState success) {
    LogFormatW(g_log, L"DotNetFrameworkTask download framework enter now");
    UniqueCurl curl(curl_easy_init());
    DownloadResult result = DownloadResult::NoHandle;
    if (curl) {
        PostProgress(task.mainWindow, 15, kProgressNetFx);
        result = Transfer(std::move(curl), url, path, logUrl, task.downloadLimits);
    }
    if (result != DownloadResult::Ok) {
        LogFormat(g_log, 3, "download failed: %s", Describe(result));
        Fail(task);
    } else if (const SignatureCheck check = CheckSignature(path, TrustedPublishers());
               check.verdict != SignatureVerdict::Trusted) {
        // A program nobody we trust signed is never run: it goes the way of a failed download.
        ::DeleteFileW(path.c_str());
        LogFormatW(g_log, L"download failed: %s", DescribeRefusal(check).c_str());
        Fail(task);
    } else {
        task.state = success;
    }
    LogFormatW(g_log, L"DotNetFrameworkTask downlaod framework exit now");
}

}  // namespace

size_t CurlWriteToFile(void* data, size_t size, size_t count, FILE* file) {
    return std::fwrite(data, size, count, file);
}

std::wstring Sp2Url() { return std::wstring(L"http://") + kDownloadHost + L"/others/dotnet/sp2.exe"; }

std::wstring NetFxUrl(const std::wstring& installerName) {
    return std::wstring(L"http://") + kStatsHost + L":10080/dotnet/ver.php?ver=" + installerName;
}

DownloadResult DownloadToFile(const std::wstring& url, const std::wstring& path, const TransferLimits& limits,
                              DownloadedFile*, const DownloadProgress&) {
    UniqueCurl curl(curl_easy_init());
    return curl ? Transfer(std::move(curl), url, path, false, limits) : DownloadResult::NoHandle;
}

void DiscardPartialDownload(const std::wstring&) {}

void DownloadSp2(DotNetFrameworkTask& task) {
    Download(task, Sp2Url(), task.moduleDir + L"\\sp2.exe", false, NetFxState::InstallSp2);
}

void DownloadNetFx(DotNetFrameworkTask& task) {
    const std::wstring url = NetFxUrl(task.installerName);
    Download(task, url, task.moduleDir + L"\\" + task.installerName + L".exe", true, NetFxState::InstallNetFx);
}
