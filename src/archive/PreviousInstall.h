#pragma once
// Removing what an earlier installation left behind: its services, its processes, its files.

#include <string>
#include <vector>

class TaskBase;

// Service name of slot 1..15; `which` 0 is the first name of the slot, 1 the second. Empty for
// any other slot or kind.
std::wstring PreviousServiceName(int slot, int which);

// The distinct top-level names of the payload's entries that are safe to remove below an install
// folder. False when the archive cannot be read.
bool PayloadTopLevelNames(const std::wstring& payloadPath, std::vector<std::wstring>* names);

// A product folder goes whole; any other folder loses only the payload's top-level names, and
// nothing when the payload cannot be read.
void RemovePreviousFiles(const std::wstring& installPath, const std::wstring& payloadPath);

// Stops and deletes the services, ends the processes (never this one), then removes the files
// with the payload beside the executable. Every step is attempted; none fails the caller.
void CleanPreviousInstall(const TaskBase& task);
