#include "prereq/NetFxDownloader.h"

#include <windows.h>

#include <curl/curl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/BuildConfig.h"
#include "base/Log.h"
#include "base/Owners.h"
#include "base/SystemApi.h"
#include "base/Text.h"
#include "prereq/DotNetFrameworkTask.h"
#include "prereq/DownloadProxy.h"
#include "prereq/PinnedDownloads.h"
#include "prereq/Signature.h"
#include "tasks/InstallMessages.h"
#include "tasks/Reports.h"

namespace {

using UniqueCurl = ScopedHandle<FreedBy<CURL*, curl_easy_cleanup>>;
using UniqueCurlList = ScopedHandle<FreedBy<curl_slist*, curl_slist_free_all>>;

// The failure path of both downloads: report, tell the window, end the chain.
void Fail(DotNetFrameworkTask& task) {
    Report(L"install_err", kDownloadFailedReport, L"", L"");
    PostNetFxDownloadError(task.mainWindow);
    task.state = NetFxState::Abort;
}

std::wstring ValidatorPath(const std::wstring& path) { return PartialDownloadPath(path) + L".validator"; }

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The sidecar of a partial file: the URL, then the validator its bytes came with.
bool ReadValidator(const std::wstring& path, std::string* url, std::string* validator) {
    UniqueFile file(::CreateFileW(ValidatorPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    if (!file) return false;
    char text[4096];
    DWORD got = 0;
    if (!::ReadFile(file.get(), text, sizeof text, &got, nullptr) || got == sizeof text) return false;
    const std::string all(text, got);
    const size_t cut = all.find('\n');
    if (cut == std::string::npos || all.empty() || all.back() != '\n') return false;
    *url = all.substr(0, cut);
    *validator = all.substr(cut + 1, all.size() - cut - 2);
    return !validator->empty();
}

bool WriteValidator(const std::wstring& path, const std::string& url, const std::string& validator) {
    UniqueFile file(::CreateFileW(ValidatorPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    const std::string text = url + "\n" + validator + "\n";
    DWORD written = 0;
    return ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// The finished file, reopened sharing reading only before it has its name and then named through
// that handle: under its name nobody can ever open it for writing, delete or rename it while held.
// Empty where Windows cannot rename through a handle (XP), or when it cannot be held so (someone
// has it open for writing): the caller names it by path and the check reopens it.
UniqueFile HoldUnderItsName(const std::wstring& partial, const std::wstring& path) {
    if (!HasFileInformationByHandle()) return {};
    UniqueFile held(::CreateFileW(partial.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held) return {};
    if (!RenameByHandle(held.get(), path, true)) {
        LogCallFailed("SetFileInformationByHandle (rename)", path, ::GetLastError());
        return {};
    }
    return held;
}

bool StartsWithMz(const char head[2]) { return head[0] == 'M' && head[1] == 'Z'; }

// Why the write callback stopped a try.
enum class Stop { None, WriteFailed, NotAProgram, StartOver, RangeIgnoredAgain };

// One download across its tries: the partial file held open for writing, the hash of every byte
// in it, and what the current answer's headers said.
struct Sink {
    HANDLE file = INVALID_HANDLE_VALUE;
    CURL* curl = nullptr;
    std::optional<Sha256> hash;
    uint64_t written = 0;        // bytes in the file
    uint64_t rangeFrom = 0;      // where this try asked the body to start; 0: the whole file
    bool bodySeen = false;       // this try's first block has been taken
    bool mayStartOver = true;    // once per download
    bool arrived = false;        // any byte came in this run
    char head[2] = {};
    std::string url;             // as sent, for the sidecar
    std::string validator;       // the validator the file's bytes came with
    std::wstring path;           // the final name
    Stop stop = Stop::None;
    // The answer being received (reset at each status line: redirects come first).
    long status = 0;
    std::string etag, lastModified, contentRange;
    // Progress to the window, a few times a second.
    DownloadProgress progress;
    uint64_t bodyBase = 0;
    int64_t total = -1;
    DWORD lastPost = 0;

    std::string AnswerValidator() const { return etag.empty() ? lastModified : etag; }

    bool Truncate() {
        LARGE_INTEGER zero = {};
        if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(file)) return false;
        hash.emplace();
        written = 0;
        head[0] = head[1] = 0;
        return true;
    }

    void Post(bool force) {
        if (!progress.window) return;
        const DWORD now = ::GetTickCount();
        if (!force && now - lastPost < 250) return;
        lastPost = now;
        PostDownloadProgress(progress.window, written, total);
    }
};

bool Append(Sink& sink, const char* data, size_t size) {
    for (size_t i = 0; sink.written + i < 2 && i < size; ++i) sink.head[sink.written + i] = data[i];
    while (size > 0) {
        const DWORD piece = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        DWORD done = 0;
        if (!::WriteFile(sink.file, data, piece, &done, nullptr) || done != piece) return false;
        sink.hash->Update(data, piece);
        sink.written += piece;
        data += piece;
        size -= piece;
    }
    return true;
}

// "bytes START-END/TOTAL": START, or -1.
int64_t RangeStart(const std::string& contentRange) {
    if (contentRange.compare(0, 6, "bytes ") != 0) return -1;
    char* end = nullptr;
    const long long start = std::strtoll(contentRange.c_str() + 6, &end, 10);
    return end != contentRange.c_str() + 6 && *end == '-' ? start : -1;
}

// At the first block of an answer: go on, start over from this body, or stop the try.
Stop TakeAnswer(Sink& sink) {
    const std::string validator = sink.AnswerValidator();
    if (sink.rangeFrom > 0) {
        const bool continues = sink.status == 206 && RangeStart(sink.contentRange) == static_cast<int64_t>(sink.rangeFrom);
        if (continues && (sink.validator.empty() || validator == sink.validator)) return Stop::None;
        if (!sink.mayStartOver) return Stop::RangeIgnoredAgain;
        sink.mayStartOver = false;
        // A 206 of another version cannot be used; a whole body (200) is the file from byte 0.
        if (sink.status != 200) return Stop::StartOver;
        LogFormat(g_log, 3, "download: the server sent the whole file again, starting over");
        if (!sink.Truncate()) return Stop::WriteFailed;
        if (sink.progress.window) PostDownloadState(sink.progress.window, sink.progress.what, kDownloadStarting);
    }
    sink.validator = validator;
    // Without a validator nothing tells a later run that the bytes are still the resource's.
    if (sink.written == 0 && (validator.empty() || !WriteValidator(sink.path, sink.url, validator))) {
        ::DeleteFileW(ValidatorPath(sink.path).c_str());
    }
    return Stop::None;
}

size_t WriteBlock(char* data, size_t size, size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    const size_t bytes = size * count;
    if (!sink.bodySeen) {
        sink.bodySeen = true;
        sink.stop = TakeAnswer(sink);
        if (sink.stop != Stop::None) return 0;
        sink.bodyBase = sink.written;
        curl_off_t length = -1;
        if (curl_easy_getinfo(sink.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0) {
            sink.total = static_cast<int64_t>(sink.bodyBase + length);
        }
    }
    if (!Append(sink, data, bytes)) {
        sink.stop = Stop::WriteFailed;
        return 0;
    }
    sink.arrived = sink.arrived || bytes > 0;
    if (sink.written >= 2 && !StartsWithMz(sink.head)) {
        sink.stop = Stop::NotAProgram;
        return 0;
    }
    sink.Post(false);
    return bytes;
}

bool NameIs(const std::string& line, size_t colon, const char* name) {
    const size_t n = std::strlen(name);
    return colon == n && _strnicmp(line.c_str(), name, n) == 0;
}

size_t HeaderLine(char* data, size_t size, size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.compare(0, 5, "HTTP/") == 0) {
        const size_t blank = line.find(' ');
        sink.status = blank == std::string::npos ? 0 : std::strtol(line.c_str() + blank + 1, nullptr, 10);
        sink.etag.clear();
        sink.lastModified.clear();
        sink.contentRange.clear();
        return size * count;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return size * count;
    size_t from = colon + 1;
    while (from < line.size() && line[from] == ' ') ++from;
    const std::string value = line.substr(from);
    if (NameIs(line, colon, "ETag")) sink.etag = value;
    else if (NameIs(line, colon, "Last-Modified")) sink.lastModified = value;
    else if (NameIs(line, colon, "Content-Range")) sink.contentRange = value;
    return size * count;
}

int TransferInfo(void* user, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
    Sink& sink = *static_cast<Sink*>(user);
    if (!sink.bodySeen) return 0;
    if (total > 0) sink.total = static_cast<int64_t>(sink.bodyBase + total);
    sink.Post(false);
    return 0;
}

// Opens the partial file and keeps what an earlier run received of the same url under a
// validator, reading it back into the hash; anything else is dropped.
bool OpenPartial(Sink& sink) {
    const std::wstring partial = PartialDownloadPath(sink.path);
    // What lies under the partial name is written to only when it is a file of its own: a link or
    // a second name of another file (anyone may put one there) would have that file written over.
    sink.file = ::CreateFileW(partial.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info = {};
    if (sink.file != INVALID_HANDLE_VALUE &&
        (!::GetFileInformationByHandle(sink.file, &info) || info.nNumberOfLinks != 1 ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))) {
        ::CloseHandle(sink.file);
        sink.file = INVALID_HANDLE_VALUE;
        // The name goes, never what it leads to.
        if (!::DeleteFileW(partial.c_str())) LogCallFailed("DeleteFileW", partial, ::GetLastError());
        ::DeleteFileW(ValidatorPath(sink.path).c_str());
    }
    if (sink.file == INVALID_HANDLE_VALUE)
        sink.file = ::CreateFileW(partial.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (sink.file == INVALID_HANDLE_VALUE) return false;
    sink.hash.emplace();
    std::string url, validator;
    if (!ReadValidator(sink.path, &url, &validator) || url != sink.url) return sink.Truncate();
    std::vector<char> buffer(256 * 1024);
    uint64_t read = 0;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(sink.file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
            return sink.Truncate();
        }
        if (got == 0) break;
        for (DWORD i = 0; read + i < 2 && i < got; ++i) sink.head[read + i] = buffer[i];
        sink.hash->Update(buffer.data(), got);
        read += got;
    }
    sink.written = read;
    if (read < 2 || !StartsWithMz(sink.head)) return sink.Truncate();
    sink.validator = validator;
    LogFormat(g_log, 3, "download: going on from %llu bytes received earlier", static_cast<unsigned long long>(read));
    return true;
}

const char* CurlText(CURLcode code) { return curl_easy_strerror(code); }

// Streams url into path's partial file, resuming a broken transfer where it stopped, and puts it
// under path once whole; releases curl. Only a complete program is kept under path: a failed
// transfer, an error status or any other body leaves nothing there, so it is never run.
DownloadResult Transfer(UniqueCurl curl, const std::wstring& url, const std::wstring& path, bool logUrl,
                        const TransferLimits& limits, DownloadedFile* done, const DownloadProgress& progress) {
    // Nothing stays under the final name unless it is whole: the name must be free.
    if (!::DeleteFileW(path.c_str()) && Exists(path)) return DownloadResult::NoFile;
    Sink sink;
    sink.path = path;
    sink.progress = progress;
    // The user's ANSI code page, as the C library's own locale would give it, without switching
    // the process-wide locale under the window's thread.
    sink.url = ToUserAnsi(url);
    if (!OpenPartial(sink)) return DownloadResult::NoFile;
    UniqueFile file(sink.file);
    if (logUrl) LogFormat(g_log, 3, "downloadURL %s", sink.url.c_str());
    if (progress.window) {
        PostDownloadState(progress.window, progress.what, sink.written > 0 ? kDownloadResuming : kDownloadStarting);
    }

    CURL* const c = curl.get();
    sink.curl = c;
    const DownloadProxy proxy = ProxyForDownload(url);
    const DWORD started = ::GetTickCount();
    int triesWithoutProgress = 0;
    DownloadResult result = DownloadResult::TransferFailed;
    for (;;) {
        const uint64_t before = sink.written;
        sink.rangeFrom = sink.written;
        sink.bodySeen = false;
        sink.stop = Stop::None;
        sink.status = 0;
        sink.total = -1;
        const DWORD elapsed = ::GetTickCount() - started;
        curl_easy_setopt(c, CURLOPT_URL, sink.url.c_str());
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
        // This libcurl follows redirects without end by default: a circle would never finish.
        curl_easy_setopt(c, CURLOPT_MAXREDIRS, 20L);
        // An error page is never written into the file.
        curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
        // Larger blocks than libcurl's 16 KiB: fewer writes and hash calls per megabyte.
        curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 256L * 1024);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBlock);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, HeaderLine);
        curl_easy_setopt(c, CURLOPT_HEADERDATA, &sink);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, TransferInfo);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &sink);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        // An unreachable or stalled server must end in the error box, not in a window that waits forever.
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, limits.connectSeconds);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(elapsed < limits.overallMs ? limits.overallMs - elapsed : 1));
        // A plain range, not libcurl's resume: a server that ignores it sends the whole file, which
        // is taken from byte 0 instead of failing the try.
        const std::string range = std::to_string(sink.written) + "-";
        curl_easy_setopt(c, CURLOPT_RANGE, sink.written > 0 ? range.c_str() : nullptr);
        // If-Range: a changed resource comes whole, not as a piece of another version.
        UniqueCurlList headers;
        if (sink.written > 0 && !sink.validator.empty()) {
            headers.reset(curl_slist_append(nullptr, ("If-Range: " + sink.validator).c_str()));
        }
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        // The user's proxy, as the reports use it; with none set, libcurl is left as it was.
        if (!proxy.proxy.empty()) {
            curl_easy_setopt(c, CURLOPT_PROXY, proxy.proxy.c_str());
            curl_easy_setopt(c, CURLOPT_NOPROXY, proxy.noProxy.c_str());
        }
        const CURLcode code = curl_easy_perform(c);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);

        if (code == CURLE_OK && sink.stop == Stop::None) {
            result = sink.written >= 2 && StartsWithMz(sink.head) ? DownloadResult::Ok : DownloadResult::NotAnExecutable;
            break;
        }
        if (sink.stop == Stop::WriteFailed || sink.stop == Stop::RangeIgnoredAgain) break;
        if (sink.stop == Stop::NotAProgram) {
            result = DownloadResult::NotAnExecutable;
            break;
        }
        // A piece of another version, or a range past the end: the file from byte 0, once.
        const bool startOver = sink.stop == Stop::StartOver ||
                               (code == CURLE_HTTP_RETURNED_ERROR && status == 416 && sink.written > 0 &&
                                std::exchange(sink.mayStartOver, false));
        if (startOver) {
            LogFormat(g_log, 3, "download: the resource changed, starting over");
            if (!sink.Truncate()) break;
            if (progress.window) PostDownloadState(progress.window, progress.what, kDownloadStarting);
            continue;
        }
        if (code == CURLE_HTTP_RETURNED_ERROR) {
            result = DownloadResult::HttpError;
            break;
        }
        // Before any byte, or a redirect circle: nothing to resume, it fails at once.
        if (sink.written == 0 || code == CURLE_TOO_MANY_REDIRECTS) break;
        triesWithoutProgress = sink.written > before ? 0 : triesWithoutProgress + 1;
        const DWORD wait = limits.firstRetryWaitMs << (triesWithoutProgress < 3 ? triesWithoutProgress : 3);
        if (triesWithoutProgress >= limits.retries || ::GetTickCount() - started + wait >= limits.overallMs) {
            LogFormat(g_log, 3, "download: giving up at %llu bytes (%s)", static_cast<unsigned long long>(sink.written),
                      CurlText(code));
            break;
        }
        LogFormat(g_log, 3, "download: broke at %llu bytes (%s), resuming in %lu ms",
                  static_cast<unsigned long long>(sink.written), CurlText(code), static_cast<unsigned long>(wait));
        ::Sleep(wait);
        if (progress.window) PostDownloadState(progress.window, progress.what, kDownloadResuming);
    }
    curl.reset();

    const std::wstring partial = PartialDownloadPath(path);
    if (result == DownloadResult::Ok) {
        Sha256Digest digest = {};
        sink.hash->Finish(&digest);
        sink.total = static_cast<int64_t>(sink.written);
        sink.Post(true);
        // Closed by hand: a failed close (data not written) fails the download.
        UniqueFile held;
        if (!::CloseHandle(file.release())) {
            result = DownloadResult::TransferFailed;
        } else if (!(held = HoldUnderItsName(partial, path)) &&
                   !::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            LogCallFailed("MoveFileExW", path, ::GetLastError());
            result = DownloadResult::NoFile;
        } else {
            ::DeleteFileW(ValidatorPath(path).c_str());
            if (done) *done = DownloadedFile{path, digest, std::move(held)};
            return result;
        }
    }
    // What arrived under a validator stays for the next run; anything else goes.
    const bool keep = (result == DownloadResult::TransferFailed || result == DownloadResult::HttpError) &&
                      sink.stop == Stop::None && sink.written > 0 && !sink.validator.empty();
    const bool closed = !file || ::CloseHandle(file.release());
    if (!keep || !closed) DiscardPartialDownload(path);
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

// Why a held download may not run; empty when it may.
std::wstring Refusal(HANDLE file, const DownloadedFile& done, const std::wstring& name) {
    Sha256Digest digest;
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !HashRest(file, &digest)) return L"the file cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
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
    DownloadedFile done;
    if (curl) {
        PostProgress(task.mainWindow, 15, kProgressNetFx);
        const DownloadWhat what = success == NetFxState::InstallSp2 ? kDownloadSp2 : kDownloadNetFx35;
        result = Transfer(std::move(curl), url, path, logUrl, task.downloadLimits, &done,
                          DownloadProgress{task.mainWindow, what});
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

std::wstring Sp2Url() { return std::wstring(L"http://") + kDownloadHost + L"/others/dotnet/sp2.exe"; }

std::wstring NetFxUrl(const std::wstring& installerName) {
    return std::wstring(L"http://") + kStatsHost + L":10080/dotnet/ver.php?ver=" + installerName;
}

DownloadResult DownloadToFile(const std::wstring& url, const std::wstring& path, const TransferLimits& limits,
                              DownloadedFile* done, const DownloadProgress& progress) {
    UniqueCurl curl(curl_easy_init());
    return curl ? Transfer(std::move(curl), url, path, false, limits, done, progress) : DownloadResult::NoHandle;
}

void TakeDownload(DotNetFrameworkTask& task, DownloadedFile& done, const std::wstring& name, NetFxState success) {
    // Shared for reading only: from here nobody can write, rename or delete it until it has run.
    // One that someone holds open for writing cannot be opened so, and is refused at once.
    UniqueFile held = std::move(done.held);
    if (!held)
        held.reset(::CreateFileW(done.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
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

std::wstring PartialDownloadPath(const std::wstring& path) { return path + L".partial"; }

void DiscardPartialDownload(const std::wstring& path) {
    ::DeleteFileW(PartialDownloadPath(path).c_str());
    ::DeleteFileW(ValidatorPath(path).c_str());
}

void DownloadSp2(DotNetFrameworkTask& task) {
    Download(task, Sp2Url(), task.moduleDir + L"\\sp2.exe", L"sp2", false, NetFxState::InstallSp2);
}

void DownloadNetFx(DotNetFrameworkTask& task) {
    const std::wstring url = NetFxUrl(task.installerName);
    Download(task, url, task.moduleDir + L"\\" + task.installerName + L".exe", task.installerName, true,
             NetFxState::InstallNetFx);
}
