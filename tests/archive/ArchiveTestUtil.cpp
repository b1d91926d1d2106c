#include "ArchiveTestUtil.h"

std::wstring ZipData(const std::wstring& name) { return WinPathFromEnv(L"VEXO_ZIPDATA") + L"\\" + name; }

uint64_t Ticks(const FILETIME& ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }

uint64_t TicksFromUnix(int64_t seconds) { return static_cast<uint64_t>((seconds + 11644473600LL) * 10000000LL); }
