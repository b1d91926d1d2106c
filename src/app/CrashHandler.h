#pragma once
// The installer's own faults. An unhandled exception on any of its threads stops the others, puts
// back an earlier installation caught between its two renames, writes a minidump to the temp
// folder and a line to tmp.log, sends an "install_err" report ("crash", the exception code) and
// ends the process: in a window after a box, silently with kSilentCrashed.

#include <windows.h>

// Sets the process's unhandled-exception filter and prepares all it needs (its two threads, the
// dump's folder, dbghelp from the system folder), so a fault costs the faulting thread almost no
// stack and the handler no allocation of its own. The first thing wWinMain does.
void InstallCrashHandler() noexcept;

// How a fault ends the process: silently, or after a box owned by `owner` (null while there is no
// window). Until told otherwise, as the window does.
void SetCrashEnding(bool silent, HWND owner) noexcept;
