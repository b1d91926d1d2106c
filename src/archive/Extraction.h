#pragma once
// Writing every entry of the payload below one folder: the files created on this thread, holding
// the way to each, filled on another (FileFiller) and closed on others (FileCloser), with progress
// posted as files are closed whole. What was made is remembered by entry, for the install list and
// for taking it back after a failure.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/FileCloser.h"
#include "archive/ZipReader.h"

struct ExtractionOptions {
    // The most the names of the new folders remembered may take, and the most the paths read back
    // at a time may take. Less costs time, never a different outcome.
    size_t pathMemoryBytes = 4 * 1024 * 1024;
    // Closing a new file can wait on a scanner, so up to this many threads close them while the
    // extraction goes on, and another fills the files while this one creates the next; 0 does
    // everything in turn, one entry after another. The outcome is the same either way.
    unsigned closerThreads = FileCloser::kMostThreads;
    // Benchmarks and tests only: a model of a scanner or of a failing close.
    FileCloser::BeforeClose beforeClose;
};

class Extraction {
public:
    // root: the folder the entries go below; window: where progress is posted.
    Extraction(std::wstring root, HWND window, ExtractionOptions options);

    // Every entry of `archive` (open on `payload`, which must be heldPayload) below the root, each
    // counted in *progress (5 for every tenth) once its file is closed whole. True when all were
    // written and closed; every file is closed before it returns, either way.
    bool Run(ArchiveHandle* archive, const std::wstring& payload, HANDLE heldPayload, int32_t* progress);

    // The install list of what was made, in the root. False, logged, when it cannot be written.
    bool WriteList(ArchiveHandle* archive) const;
    // Removes what was made, deepest first, and nothing else. False when something stays.
    bool RemoveMade(ArchiveHandle* archive) const;

private:
    const std::wstring root_;
    const HWND window_;
    const ExtractionOptions options_;
    // The entries, in extraction order, whose folder (madeFolders_) or target (madeFiles_) this run
    // made. Their paths are read again from the archive, which stays open until then; kept as
    // text, they took a kilobyte an entry.
    std::vector<uint32_t> madeFolders_;
    std::vector<uint32_t> madeFiles_;
};
