#include "prereq/NetFxDownloader.h"

#include <windows.h>

#include <curl/curl.h>

#include "base/BuildConfig.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/Text.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/DownloadProxy.h"
#include "prereq/PinnedDownloads.h"
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

// STOPGAP until the transfer reports the digest of the bytes it wrote: the digest of the closed
// file, taken once right after the transfer.
bool DigestOfWrittenFile(const std::wstring& path, Sha256Digest* digest) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file && HashRest(file.get(), digest);
}

// Why a held download may not run; empty when it may.
std::wstring Refusal(HANDLE file, const DownloadedFile& done, const std::wstring& name) {
    Sha256Digest digest;
    if (!HashRest(file, &digest)) return L"the file cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
    if (digest != done.digest) return L"the file changed after it was written";
    const SignatureCheck check = CheckSignature(file, done.path, TrustedPublishers());
    if (check.verdict != SignatureVerdict::Trusted) return DescribeRefusal(check);
    const std::string pinned = PinnedDigest(name);
    if (!pinned.empty() && pinned != ToHex(digest))
        return L"SHA-256 " + ToWide(ToHex(digest), CP_ACP) + L" is not the one pinned for " + name;
    return {};
}

void Download(DotNetFrameworkTask& task, const std::wstring& url, const std::wstring& path, const std::wstring& name,
              bool logUrl, NetFxState success) {
    LogFormatW(g_log, L"DotNetFrameworkTask download framework enter now");
    UniqueCurl curl(curl_easy_init());
    DownloadResult result = DownloadResult::NoHandle;
    if (curl) {
        PostProgress(task.mainWindow, 15, kProgressNetFx);
        result = Transfer(std::move(curl), url, path, logUrl, task.downloadLimits);
    }
    DownloadedFile done;
    done.path = path;
    if (result == DownloadResult::Ok && !DigestOfWrittenFile(path, &done.digest)) {
        ::DeleteFileW(path.c_str());
        result = DownloadResult::TransferFailed;
    }
    if (result != DownloadResult::Ok) {
        LogFormat(g_log, 3, "download failed: %s", Describe(result));
        Fail(task);
    } else {
        TakeDownload(task, done, name, success);
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
                              DownloadedFile* done, const DownloadProgress&) {
    UniqueCurl curl(curl_easy_init());
    DownloadResult result = curl ? Transfer(std::move(curl), url, path, false, limits) : DownloadResult::NoHandle;
    // STOPGAP (see DigestOfWrittenFile), until the transfer hashes what it writes.
    if (result == DownloadResult::Ok && done != nullptr) {
        done->path = path;
        if (!DigestOfWrittenFile(path, &done->digest)) {
            ::DeleteFileW(path.c_str());
            result = DownloadResult::TransferFailed;
        }
    }
    return result;
}

void TakeDownload(DotNetFrameworkTask& task, const DownloadedFile& done, const std::wstring& name,
                  NetFxState success) {
    // Shared for reading only: from here nobody can write, rename or delete it until it has run.
    // One that someone holds open for writing cannot be opened so, and is refused at once.
    UniqueFile held(
        ::CreateFileW(done.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::wstring refusal;
    if (!held) refusal = L"the file cannot be held against writing (error " + std::to_wstring(::GetLastError()) + L")";
    else refusal = Refusal(held.get(), done, name);
    if (refusal.empty()) {
        task.heldDownload = std::move(held);
        task.state = success;
        return;
    }
    // A program that is not the one written and signed by someone we trust never runs: it goes
    // the way of a failed download. Its content is refused anyway, so it is deleted by path.
    held.reset();
    ::DeleteFileW(done.path.c_str());
    LogFormatW(g_log, L"download failed: %s", refusal.c_str());
    Fail(task);
}

void DiscardPartialDownload(const std::wstring&) {}

void DownloadSp2(DotNetFrameworkTask& task) {
    Download(task, Sp2Url(), task.moduleDir + L"\\sp2.exe", L"sp2", false, NetFxState::InstallSp2);
}

void DownloadNetFx(DotNetFrameworkTask& task) {
    const std::wstring url = NetFxUrl(task.installerName);
    Download(task, url, task.moduleDir + L"\\" + task.installerName + L".exe", task.installerName, true,
             NetFxState::InstallNetFx);
}
