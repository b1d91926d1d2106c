#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/Product.h"
#include "tasks/TaskBase.h"

// After extraction: the shortcuts and the uninstall entry, then the runtime task.
class RegSoftwareTask : public TaskBase {
public:
    // successor: makes the runtime task that follows.
    explicit RegSoftwareTask(HWND window, TaskFactory successor = nullptr) noexcept
        : TaskBase(window), successor_(successor) {}
    void Run() override;

    int32_t progressBase = 0;

private:
    TaskFactory successor_;
};

constexpr wchar_t kFallbackEmulatorVersion[] = L"1.0.6.25";

// The product's entry among the installed programs, written in place over an existing one.
// A key that cannot be created, or a value that cannot be written, is logged and skipped.
void WriteUninstallEntry(const TaskBase& task, HKEY root = HKEY_LOCAL_MACHINE, const wchar_t* subkey = kUninstallKey);
// Deletes that entry when it is the installation's in installPath: its "UninstallString" (or,
// without one, its "DisplayIcon") lies in that folder. True when it is gone, was never there, or
// is another folder's and stays (logged); a failure is logged.
bool DeleteUninstallEntry(const std::wstring& installPath, HKEY root = HKEY_LOCAL_MACHINE,
                          const wchar_t* subkey = kUninstallKey);
// " major.minor.build.revision" (leading blank) of the installed emulator's product version,
// or "1.0.6.25" when it has none.
std::wstring GetEmulatorVersion(const TaskBase& task);
// True when this 32-bit process runs on 64-bit Windows.
BOOL IsWow64();
