#pragma once
// Removing what an earlier installation left behind: its services, its processes, its files.

#include <string>

class TaskBase;

// Service name of slot 1..15; `which` 0 is the first name of the slot, 1 the second. Empty for
// any other slot or kind.
std::wstring PreviousServiceName(int slot, int which);

// A product folder goes whole. Any other folder may hold the user's own files, even in folders
// named as the payload's: with an earlier installation's list, what it names goes
// (RemoveInstallation); without one, the files the payload holds, then the folders on their way
// that are left empty, deepest first, and nothing when the payload cannot be read. Nothing is
// followed through a link.
void RemovePreviousFiles(const std::wstring& installPath, const std::wstring& payloadPath);

// A folder that is not there, or holds nothing, has nothing of an earlier installation in it; one
// that cannot be listed may hold anything.
bool HoldsAnything(std::wstring folder);

// Stops and deletes the product's services and ends its processes (never this one), waiting a
// little for them to end so their files can go. The installer's cleanup and the uninstaller
// both use it. Every step is attempted; none fails the caller.
void EndProductServicesAndProcesses();

// The above, then removes the files with the payload beside the executable. The services and
// processes are ended on every run: an installation elsewhere has them too.
void CleanPreviousInstall(const TaskBase& task);
