#pragma once

#include <string>

// The install chain without a window, into `folder` after the window's folder checks; returns the
// silent exit code (see CommandLine.h).
int RunSilentInstall(const std::wstring& folder);
