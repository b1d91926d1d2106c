#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/FileCloser.h"
#include "base/ReleasePins.h"
#include "tasks/TaskBase.h"

struct ArchiveHandle;

// Extracts "platform.zip" beside the installer into the install folder, after clearing an
// earlier installation away. On success it chains the next task; on any failure it removes
// what belongs to the product, reports a full disk to the window and ends the chain. A payload
// the drive has no room for, that is damaged, or that is not the release's own (its pin) fails the
// same way before anything is removed or written.
class UnZipTask : public TaskBase {
public:
    // successor: makes the task that follows a successful extraction.
    explicit UnZipTask(HWND window, TaskFactory successor = nullptr) noexcept
        : TaskBase(window), successor_(successor) {}

    void Run() override;

    int32_t progressBase = 0;
    // The most the names of the new folders remembered may take, and the most the paths read back
    // at a time (for a failure's removal) may take. Less costs time, never a different outcome.
    size_t pathMemoryBytes = 4 * 1024 * 1024;
    // Closing a new file can wait on a scanner, so up to this many threads close them while the
    // extraction goes on, and another fills the files while this one creates the next; 0 does
    // everything in turn, one entry after another. The outcome is the same either way.
    unsigned closerThreads = FileCloser::kMostThreads;
    // Benchmarks and tests only: a model of a scanner or of a failing close (FileCloser).
    FileCloser::BeforeClose beforeClose;
    // What the payload must hash to (ReleasePins); empty: whatever it is.
    std::string payloadPin = PinRequiredFor(kPinnedPayload);

private:
    bool ExtractAll(ArchiveHandle* archive, const std::wstring& payload, HANDLE heldPayload, int32_t* progress);
    void RemoveAfterFailure(ArchiveHandle* archive) const;
    bool WriteList(ArchiveHandle* archive) const;

    TaskFactory successor_;
    // What this run made, so a failure in a folder of the user's own removes only that and the
    // install list names it: the entries, in extraction order, whose folder (createdFolders_) or
    // target (createdFiles_) this run created. Their paths are read again from the archive, which
    // stays open until then; kept as text, they took a kilobyte an entry.
    std::vector<uint32_t> createdFolders_;
    std::vector<uint32_t> createdFiles_;
};
