#pragma once
// The product's shortcuts for the current user: the emulator on the desktop, and a start-menu
// folder with the emulator and its uninstaller.

#include <string>

class TaskBase;

// The links' file names: the emulator's on the desktop and in the start-menu folder (named as
// the product), and the uninstaller's there.
std::wstring EmulatorLinkName();
std::wstring UninstallerLinkName();

// Writes the three links for the task's install folder; a link that cannot be written is skipped
// and logged.
void CreateShortcuts(const TaskBase& task);
// Deletes those of the three links whose target lies in installPath (another installation's stay,
// logged), then the start-menu folder unless something else is in it. True when none of them is
// left but another installation's; a failure, or a link whose target cannot be read, is logged.
bool RemoveShortcuts(const std::wstring& installPath);
// Writes folder\linkFileName pointing at target, shown normally; true when the file was saved.
// An existing link of that name is replaced; a failure is logged with its call and code.
// folderIsOurs: a folder the installer made, refused when a link has taken its place.
bool CreateShellLink(const std::wstring& target, const std::wstring& folder, const wchar_t* description,
                     const std::wstring& linkFileName, bool folderIsOurs = false);
