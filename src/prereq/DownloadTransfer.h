#pragma once
// One download's transfer with libcurl: its tries, each resumed where the last one broke, and the
// callbacks that take the answers into the partial file.

#include <curl/curl.h>

#include <string>

#include "base/Owners.h"
#include "prereq/NetFxDownloader.h"

using UniqueCurl = ScopedHandle<FreedBy<CURL*, curl_easy_cleanup>>;

// Streams url into path's partial file, resuming a broken transfer where it stopped, and puts it
// under path once whole; releases curl. Only a complete program is kept under path: a failed
// transfer, an error status or any other body leaves nothing there, so it is never run.
DownloadResult Transfer(UniqueCurl curl, const std::wstring& url, const std::wstring& path, bool logUrl,
                        const TransferLimits& limits, DownloadedFile* done, const DownloadProgress& progress);
