#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tasks/TaskBase.h"

// Extracts "platform.zip" beside the installer into the install folder, after clearing an
// earlier installation away. On success it chains the next task; on any failure it removes
// what belongs to the product, reports a full disk to the window and ends the chain. A payload
// the drive has no room for fails the same way before anything is removed or written.
class UnZipTask : public TaskBase {
public:
    // successor: makes the task that follows a successful extraction.
    explicit UnZipTask(HWND window, TaskFactory successor = nullptr) noexcept
        : TaskBase(window), successor_(successor) {}

    void Run() override;

    int32_t progressBase = 0;

private:
    bool ExtractAll(const std::wstring& archivePath, int32_t* progress);
    void RemoveAfterFailure();

    TaskFactory successor_;
    // What this run made, so a failure in a folder of the user's own removes only that.
    std::vector<std::wstring> createdFolders_;
    std::vector<std::wstring> createdFiles_;
};
