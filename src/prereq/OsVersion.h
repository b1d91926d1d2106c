#pragma once
// Which Windows the installer runs on: the short tag the reports carry, the bitness of the
// system, and the edition checks that pick the .NET 3.5 installer. Without a compatibility
// manifest the version query says 6.2 on Windows 8, 8.1 and 10 alike, so the editions are told
// apart by the texts Windows keeps in the registry.

#include <string>

// "windows_XP" (NT 5.1), "windows_8" (NT 6.2), "windows_7" (any other NT 6.x), else empty.
std::wstring GetOsTag();
// 64 when the system (not the processor) is AMD64 or IA64, else 32.
int GetSystemBits();

// Size, in wide characters, of the buffer ReadCurrentVersionValue fills.
constexpr size_t kCurrentVersionBufferChars = 260;
// A value of HKLM "Software\Microsoft\Windows NT\CurrentVersion" into `buffer` (260 wide
// characters). At most 260 bytes are read: a longer value gives false. The text read is always
// terminated.
bool ReadCurrentVersionValue(const wchar_t* name, wchar_t* buffer);

// True when "ProductName" contains "Windows 8" and "CurrentVersion" contains "6.2" (8) or "6.3"
// (8.1), or "ProductName" contains "Windows 10", and the system has the given bitness. Each
// writes its name with "1" and "2" around the check to the log.
bool IsWindows832Bit();
bool IsWindows864Bit();
bool IsWindows8132Bit();
bool IsWindows8164Bit();
bool IsWindows1032Bit();
bool IsWindows1064Bit();
