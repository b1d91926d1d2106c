#include "prereq/DownloadTransfer.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/FileInFolder.h"
#include "base/Log.h"
#include "base/Text.h"
#include "prereq/DownloadProxy.h"
#include "prereq/FinishedDownload.h"
#include "prereq/PartialDownload.h"
#include "tasks/InstallMessages.h"

namespace {

using UniqueCurlList = ScopedHandle<FreedBy<curl_slist*, curl_slist_free_all>>;

// Why the write callback stopped a try.
enum class Stop { None, WriteFailed, NotAProgram, StartOver, RangeIgnoredAgain };

// One download across its tries: the partial file it writes, and what the current answer's
// headers said.
struct Sink {
    explicit Sink(PartialDownload& file) : partial(file) {}

    PartialDownload& partial;
    CURL* curl = nullptr;
    uint64_t rangeFrom = 0;    // where this try asked the body to start; 0: the whole file
    bool bodySeen = false;     // this try's first block has been taken
    bool mayStartOver = true;  // once per download
    bool arrived = false;      // any byte came in this run
    std::string url;           // as sent, for the resume record
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

    void Post(bool force) {
        if (!progress.window) return;
        const DWORD now = ::GetTickCount();
        if (!force && now - lastPost < 250) return;
        lastPost = now;
        PostDownloadProgress(progress.window, partial.written(), total);
    }

    void PostState(DownloadPhase state) const {
        if (progress.window) PostDownloadState(progress.window, progress.what, state);
    }
};

// "bytes START-END/TOTAL": START, or -1.
int64_t RangeStart(const std::string& contentRange) {
    if (contentRange.compare(0, 6, "bytes ") != 0) return -1;
    char* end = nullptr;
    const long long start = std::strtoll(contentRange.c_str() + 6, &end, 10);
    return end != contentRange.c_str() + 6 && *end == '-' ? start : -1;
}

// At the first block of an answer: go on, start over from this body, or stop the try.
Stop TakeAnswer(Sink& sink) {
    PartialDownload& partial = sink.partial;
    const std::string validator = sink.AnswerValidator();
    if (sink.rangeFrom > 0) {
        const bool continues =
            sink.status == 206 && RangeStart(sink.contentRange) == static_cast<int64_t>(sink.rangeFrom);
        if (continues && (partial.validator().empty() || validator == partial.validator())) return Stop::None;
        if (!sink.mayStartOver) return Stop::RangeIgnoredAgain;
        sink.mayStartOver = false;
        // A 206 of another version cannot be used; a whole body (200) is the file from byte 0.
        if (sink.status != 200) return Stop::StartOver;
        LogFormat(g_log, 3, "download: the server sent the whole file again, starting over");
        if (!partial.Truncate()) return Stop::WriteFailed;
        sink.PostState(kDownloadStarting);
    }
    partial.set_validator(validator);
    if (partial.written() == 0) partial.Record(sink.url, validator);
    return Stop::None;
}

size_t WriteBlock(char* data, size_t size, size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    const size_t bytes = size * count;
    if (!sink.bodySeen) {
        sink.bodySeen = true;
        sink.stop = TakeAnswer(sink);
        if (sink.stop != Stop::None) return 0;
        sink.bodyBase = sink.partial.written();
        curl_off_t length = -1;
        if (curl_easy_getinfo(sink.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0) {
            sink.total = static_cast<int64_t>(sink.bodyBase + length);
        }
    }
    if (!sink.partial.Append(data, bytes)) {
        sink.stop = Stop::WriteFailed;
        return 0;
    }
    sink.arrived = sink.arrived || bytes > 0;
    if (sink.partial.written() >= 2 && !sink.partial.StartsLikeProgram()) {
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
    if (NameIs(line, colon, "ETag"))
        sink.etag = value;
    else if (NameIs(line, colon, "Last-Modified"))
        sink.lastModified = value;
    else if (NameIs(line, colon, "Content-Range"))
        sink.contentRange = value;
    return size * count;
}

int TransferInfo(void* user, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
    Sink& sink = *static_cast<Sink*>(user);
    if (!sink.bodySeen) return 0;
    if (total > 0) sink.total = static_cast<int64_t>(sink.bodyBase + total);
    sink.Post(false);
    return 0;
}

const char* CurlText(CURLcode code) { return curl_easy_strerror(code); }

// Sets up the next try, from the byte reached, with the time left of overallMs. The headers it
// returns must live until the try is done.
UniqueCurlList PrepareTry(CURL* c, Sink& sink, const TransferLimits& limits, DWORD elapsed,
                          const DownloadProxy& proxy) {
    const uint64_t written = sink.partial.written();
    sink.rangeFrom = written;
    sink.bodySeen = false;
    sink.stop = Stop::None;
    sink.status = 0;
    sink.total = -1;
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
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(elapsed < limits.overallMs ? limits.overallMs - elapsed : 1));
    // A plain range, not libcurl's resume: a server that ignores it sends the whole file, which
    // is taken from byte 0 instead of failing the try.
    const std::string range = std::to_string(written) + "-";
    curl_easy_setopt(c, CURLOPT_RANGE, written > 0 ? range.c_str() : nullptr);
    // If-Range: a changed resource comes whole, not as a piece of another version.
    UniqueCurlList headers;
    if (written > 0 && !sink.partial.validator().empty()) {
        headers.reset(curl_slist_append(nullptr, ("If-Range: " + sink.partial.validator()).c_str()));
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    // The user's proxy, as the reports use it; with none set, libcurl is left as it was.
    if (!proxy.proxy.empty()) {
        curl_easy_setopt(c, CURLOPT_PROXY, proxy.proxy.c_str());
        curl_easy_setopt(c, CURLOPT_NOPROXY, proxy.noProxy.c_str());
    }
    return headers;
}

// What follows a try: the transfer ends (with *result), starts over from byte 0, or is resumed.
enum class Then { End, StartOver, Resume };

Then AfterTry(Sink& sink, CURLcode code, long status, DownloadResult* result) {
    *result = DownloadResult::TransferFailed;
    if (code == CURLE_OK && sink.stop == Stop::None) {
        *result = sink.partial.StartsLikeProgram() ? DownloadResult::Ok : DownloadResult::NotAnExecutable;
        return Then::End;
    }
    if (sink.stop == Stop::WriteFailed || sink.stop == Stop::RangeIgnoredAgain) return Then::End;
    if (sink.stop == Stop::NotAProgram) {
        *result = DownloadResult::NotAnExecutable;
        return Then::End;
    }
    // A piece of another version, or a range past the end: the file from byte 0, once.
    if (sink.stop == Stop::StartOver || (code == CURLE_HTTP_RETURNED_ERROR && status == 416 &&
                                         sink.partial.written() > 0 && std::exchange(sink.mayStartOver, false)))
        return Then::StartOver;
    if (code == CURLE_HTTP_RETURNED_ERROR) {
        *result = DownloadResult::HttpError;
        return Then::End;
    }
    // Before any byte, or a redirect circle: nothing to resume, it fails at once.
    if (sink.partial.written() == 0 || code == CURLE_TOO_MANY_REDIRECTS) return Then::End;
    return Then::Resume;
}

// The tries of one transfer, until it is whole or given up.
DownloadResult RunTries(CURL* c, Sink& sink, const std::wstring& url, const TransferLimits& limits) {
    sink.curl = c;
    const DownloadProxy proxy = ProxyForDownload(url);
    const DWORD started = ::GetTickCount();
    int triesWithoutProgress = 0;
    for (;;) {
        const uint64_t before = sink.partial.written();
        const UniqueCurlList headers = PrepareTry(c, sink, limits, ::GetTickCount() - started, proxy);
        const CURLcode code = curl_easy_perform(c);
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);

        DownloadResult result = DownloadResult::TransferFailed;
        const Then then = AfterTry(sink, code, status, &result);
        if (then == Then::End) return result;
        if (then == Then::StartOver) {
            LogFormat(g_log, 3, "download: the resource changed, starting over");
            if (!sink.partial.Truncate()) return DownloadResult::TransferFailed;
            sink.PostState(kDownloadStarting);
            continue;
        }
        const uint64_t written = sink.partial.written();
        triesWithoutProgress = written > before ? 0 : triesWithoutProgress + 1;
        const DWORD wait = limits.firstRetryWaitMs << (triesWithoutProgress < 3 ? triesWithoutProgress : 3);
        if (triesWithoutProgress >= limits.retries || ::GetTickCount() - started + wait >= limits.overallMs) {
            LogFormat(g_log, 3, "download: giving up at %llu bytes (%s)", static_cast<unsigned long long>(written),
                      CurlText(code));
            return DownloadResult::TransferFailed;
        }
        LogFormat(g_log, 3, "download: broke at %llu bytes (%s), resuming in %lu ms",
                  static_cast<unsigned long long>(written), CurlText(code), static_cast<unsigned long>(wait));
        ::Sleep(wait);
        sink.PostState(kDownloadResuming);
    }
}

}  // namespace

DownloadResult Transfer(UniqueCurl curl, const std::wstring& url, const std::wstring& path, bool logUrl,
                        const TransferLimits& limits, DownloadedFile* done, const DownloadProgress& progress) {
    // The folder is held for the whole download: every name in it is opened, named and removed
    // relative to it, never by path.
    const HeldFolder folder(FolderPart(path));
    // Nothing stays under the final name unless it is whole: the name must be free.
    if (!folder || !RemoveNameIn(folder.get(), folder.path(), NamePart(path))) return DownloadResult::NoFile;
    PartialDownload partial(folder, NamePart(path));
    Sink sink(partial);
    sink.progress = progress;
    // The user's ANSI code page, as the C library's own locale would give it, without switching
    // the process-wide locale under the window's thread.
    sink.url = ToUserAnsi(url);
    if (!partial.Open(sink.url)) return DownloadResult::NoFile;
    if (logUrl) LogFormat(g_log, 3, "downloadURL %s", sink.url.c_str());
    sink.PostState(partial.written() > 0 ? kDownloadResuming : kDownloadStarting);

    DownloadResult result = RunTries(curl.get(), sink, url, limits);
    curl.reset();

    if (result == DownloadResult::Ok) {
        const Sha256Digest digest = partial.Finish();
        sink.total = static_cast<int64_t>(partial.written());
        sink.Post(true);
        result = NameFinishedDownload(partial, path, digest, done);
        if (result == DownloadResult::Ok) return result;
    }
    // What arrived under a validator stays for the next run; anything else goes.
    const bool keep = (result == DownloadResult::TransferFailed || result == DownloadResult::HttpError) &&
                      sink.stop == Stop::None && partial.written() > 0 && !partial.validator().empty();
    const bool closed = partial.Close();
    if (!keep || !closed) partial.Discard();
    return result;
}
