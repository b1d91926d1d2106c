#pragma once
// File helpers shared by the tests, which run under Wine with Unix paths in their environment.

#include <windows.h>

#include <string>

// Windows form ("Z:\...") of a Unix path held in an environment variable; empty when unset.
std::wstring WinPathFromEnv(const wchar_t* variable);
// A fresh, empty scratch folder below the test's temp folder (VEXO_TEST_TMP).
std::wstring FreshScratch(const std::wstring& name);
void RemoveTree(const std::wstring& path);
bool ReadWholeFile(const std::wstring& path, std::string* data);
bool WriteWholeFile(const std::wstring& path, const std::string& data);
// Lower-case hexadecimal, as pins are written; empty when the file cannot be read.
std::string Sha256OfFile(const std::wstring& path);
bool PathExists(const std::wstring& path);
std::string Utf8(const std::wstring& text);
// The .NET Framework 4 client profile recorded as Windows records it, so an installer started in
// the prefix goes straight on to the payload; false when the registry refuses.
bool MarkFrameworkPresent();
// The machine's common application data ("C:\ProgramData"), where the removal and the uninstaller
// make their folders for files in use and for the uninstaller's copy.
std::wstring CommonAppData();
// Whether such a folder is one where deletions may wait for the next restart (see
// OnlyAdministratorsChange): never under Wine, where every file belongs to the user.
bool RestartDeletionsInCommonAppData();
// The size of what Windows is to delete or move at the next restart (0: nothing).
DWORD PendingAtRestartBytes();
