#pragma once
// Paths and file helpers shared by the archive tests.

#include <windows.h>

#include <cstdint>
#include <string>

// Windows form ("Z:\...") of a Unix path held in an environment variable.
std::wstring WinPathFromEnv(const wchar_t* variable);
// Folder of the archives the fixture made.
std::wstring ZipData(const std::wstring& name);
// A fresh, empty scratch folder below the test's temp folder.
std::wstring FreshScratch(const std::wstring& name);
void RemoveTree(const std::wstring& path);
bool ReadWholeFile(const std::wstring& path, std::string* data);
bool PathExists(const std::wstring& path);
uint64_t Ticks(const FILETIME& ft);
uint64_t TicksFromUnix(int64_t seconds);
