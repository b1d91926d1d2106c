#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/Extraction.h"
#include "archive/FileCloser.h"
#include "archive/FolderSwap.h"
#include "base/ReleasePins.h"
#include "tasks/TaskBase.h"

struct ArchiveHandle;
class PinHashing;

// Extracts "platform.zip" beside the installer into the install folder. The product's own folder
// is replaced whole: the new version is extracted beside it, and only once it is whole are the
// earlier installation's services and processes ended and the two folders swapped, so a failure
// or an interruption at any moment leaves one whole version there. Where the drive has no room for
// both, and in a folder of the user's, the earlier installation is cleared away first, as it
// always was. On success it chains the next task; on any failure it takes back what it made,
// reports a full disk to the window and ends the chain. A payload the drive has no room for, whose
// names are refused, or that is not the release's own (its pin) fails the same way with the
// earlier installation untouched.
class UnZipTask : public TaskBase {
public:
    // successor: makes the task that follows a successful extraction.
    explicit UnZipTask(HWND window, TaskFactory successor = nullptr) noexcept
        : TaskBase(window), successor_(successor) {}

    void Run() override;

    int32_t progressBase = 0;
    // As ExtractionOptions: the memory for paths, the closer threads, and for benchmarks and tests
    // a model of a scanner or of a failing close.
    size_t pathMemoryBytes = 4 * 1024 * 1024;
    unsigned closerThreads = FileCloser::kMostThreads;
    FileCloser::BeforeClose beforeClose;
    // What the payload must hash to (ReleasePins); empty: whatever it is.
    std::string payloadPin = PinRequiredFor(kPinnedPayload);
    // How long files of the earlier installation held open by other programs are waited for
    // before the swap gives up, leaving that installation as it was.
    DWORD heldWaitMs = 5000;
    // Tests only: called at the swap's moments.
    FolderSwap::StepHook swapHook;

private:
    void ReplaceBeside(FolderSwap* swap, const std::wstring& payload, HANDLE held, PinHashing* pin);
    void ReplaceAmongTheUsersFiles(const std::wstring& payload, HANDLE held, PinHashing* pin);
    ExtractionOptions Options() const;
    void Fail();
    // Nothing removed or written: the reason logged, an empty product folder (the window's) gone.
    void FailBeforeAnything(const std::wstring& problem);

    TaskFactory successor_;
};
