#pragma once
// Helpers of the archive tests.

#include <windows.h>

#include <cstdint>
#include <string>

#include "TestFiles.h"

// An archive the fixture made.
std::wstring ZipData(const std::wstring& name);
uint64_t Ticks(const FILETIME& ft);
uint64_t TicksFromUnix(int64_t seconds);
