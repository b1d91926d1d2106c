#pragma once
// A finished download taken from its partial file: named, held and, before it may run, checked.

#include <string>

#include "prereq/NetFxDownloader.h"
#include "prereq/PartialDownload.h"

// Closes the whole partial file and puts it under its final name (`path`, in the partial file's
// folder), held where Windows allows; *done then says what was written. Ok, TransferFailed (the
// close failed: data not written) or NoFile.
DownloadResult NameFinishedDownload(PartialDownload& partial, const std::wstring& path, const Sha256Digest& digest,
                                    DownloadedFile* done);

class DotNetFrameworkTask;
// The failure path of both downloads: report, tell the window, end the chain (NetFxDownloader.cpp).
void FailDownload(DotNetFrameworkTask& task);
