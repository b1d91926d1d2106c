#pragma once
// Starting a program as the user who started the installer. The installer runs elevated; a
// program it starts itself would run with administrator rights too, and its files, drag and drop
// and settings would not be the user's. The shell of the user's desktop runs as that user, so the
// program is handed to it there.

#include <string>

// True where Windows has elevation (Vista and later) and this process runs elevated.
bool RunsElevated();

// Has the desktop's shell start `file` in `folder`, hidden like ShellRun. False, logged, when
// any step is missing (no shell or desktop window, a shell without one of the interfaces).
bool StartAsDesktopUser(const std::wstring& file, const std::wstring& folder);

// Starts `file` in `folder`, not waited for: elevated, through the desktop's shell where it can;
// else (not elevated, Windows XP, no desktop shell) as ShellRun does. Logs which way it took, or
// that it failed.
void StartAsUser(const std::wstring& file, const std::wstring& folder);
