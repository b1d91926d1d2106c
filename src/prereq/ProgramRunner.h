#pragma once
// Starting other programs from the runner thread: hidden, with or without waiting.

#include <string>

// Runs the program hidden and waits for it without a time limit; returns everything it wrote to
// standard output and standard error (in the thread's ANSI code page), or empty when it could
// not be started. It runs in `folder`, or in the installer's current folder when that is empty.
std::wstring RunProgram(const std::wstring& application, const std::wstring& commandLine,
                        const std::wstring& folder = {});

// Hands the file to the shell hidden; with wait, returns when the started process has ended.
// A file that cannot be started is logged and otherwise ignored: false (parameters may be null).
bool ShellRun(const std::wstring& file, const wchar_t* parameters, const std::wstring& folder, bool wait);
