#pragma once
// Removing what an earlier installation left behind: its services, its processes, its files.

#include <string>

class TaskBase;

// Service name of slot 1..15; `which` 0 is the first name of the slot, 1 the second. Empty for
// any other slot or kind.
std::wstring PreviousServiceName(int slot, int which);

// A folder that is not there, or holds nothing, has nothing of an earlier installation in it; one
// that cannot be listed may hold anything.
bool HoldsAnything(std::wstring folder);

// Stops and deletes the product's services and ends its processes (never this one), waiting a
// little for them to end so their files can go. The installer's cleanup and the uninstaller
// both use it. Every step is attempted; none fails the caller.
void EndProductServicesAndProcesses();

// The above, then removes the product's folder whole (any other folder is left alone). The
// services and processes are ended on every run: an installation elsewhere has them too.
void CleanPreviousInstall(const TaskBase& task);
