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
bool PathExists(const std::wstring& path);
std::string Utf8(const std::wstring& text);
// The .NET Framework 4 client profile recorded as Windows records it, so an installer started in
// the prefix goes straight on to the payload; false when the registry refuses.
bool MarkFrameworkPresent();
