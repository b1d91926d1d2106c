// Runs the unzip task on the payload beside it into the folder given, and ends the process as a
// kill would at the moment named: "entry:<n>" before entry n's file is closed, "whole", "aside",
// "in-place"; "aside-undone" as the fault handler would, between the renames; "never" runs to the end. Exit 0 when the task succeeded, 1 when it failed, 99 killed.

#include <windows.h>

#include <cstdlib>
#include <string>

#include "archive/UnZipTask.h"
#include "base/Log.h"

namespace {

const char* const kSteps[] = {"whole", "aside", "in-place"};

[[noreturn]] void Kill() {
    ::TerminateProcess(::GetCurrentProcess(), 99);
    std::abort();
}

TaskBase* MakeSuccessor(HWND window, int32_t) { return new TaskBase(window); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string folder = argv[1];
    const std::string moment = argv[2];
    InitLog();
    const HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    UnZipTask task(window, MakeSuccessor);
    task.progressBase = 30;
    task.SetInstallPath(std::wstring(folder.begin(), folder.end()));
    if (moment.compare(0, 6, "entry:") == 0) {
        const uint32_t entry = static_cast<uint32_t>(std::strtoul(moment.c_str() + 6, nullptr, 10));
        task.beforeClose = [entry](uint32_t closing) {
            if (closing == entry) Kill();
            return true;
        };
    }
    task.swapHook = [&moment](FolderSwap::Step step) {
        if (moment == "aside-undone" && step == FolderSwap::kAside) {
            UndoSwapInProgress();
            Kill();
        }
        if (moment == kSteps[step]) Kill();
    };
    task.Run();
    return task.next != nullptr ? 0 : 1;
}
