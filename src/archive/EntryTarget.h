#pragma once
// How an entry's target file is created.

#include <windows.h>

// Makes the missing folders of a relative target's folder part below rootDir (ending in a
// backslash; empty: none), parent first. Absolute targets and any with a ".." step get none, so no
// folder lands outside the target. Failures show when the target is created.
void CreateTargetFolders(const wchar_t* rootDir, const wchar_t* target) noexcept;

// Creates the target for writing, unshared, by its name in its folder: `folder`, held open by the
// caller (null: opened here), so nothing on the way to it is looked up again. What has the name
// already is removed first, by itself: never written through. INVALID_HANDLE_VALUE on failure,
// with the last error set.
HANDLE CreateTarget(const wchar_t* target, DWORD attr, HANDLE folder) noexcept;
