#pragma once
// What belongs to the product: its folder, and the names the extraction, the cleanup and the
// uninstaller accept below it.

#include <cstdint>
#include <string>

#include "archive/Removal.h"
#include "base/Product.h"

// True when the whole folder may go: its last component is the product's folder name, or the
// path is empty. A folder the user typed otherwise may hold unrelated files.
bool IsProductFolder(const std::wstring& installPath);

// True when a path component, read as Windows reads it (trailing dots and blanks dropped, then any
// extension), names a device: CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$.
bool IsDeviceName(const std::wstring& component);

// True when an archive entry name, after "/" becomes "\", names something inside the folder it is
// extracted to: not absolute, no drive, UNC prefix or stream (no ":"), no ".." component (nor one
// Windows would read as such, like "..." or ".. "), no device name in any component, and no
// wildcard or control character. "." components are allowed: they are dropped.
bool IsSafeEntryName(const std::wstring& name);

// A name or path as Windows compares it, without regard to case.
std::wstring FoldCase(std::wstring path);

// A path as a 64-bit key, case folded as Windows compares names: what is remembered of many long
// paths without keeping them. A collision only sends the caller to ask the file system.
uint64_t PathKey(std::wstring path);

// Where an entry is extracted: installPath, "\", then the name with "/" as "\", its "." and empty
// components dropped and each component's trailing dots and blanks removed, as Windows would; a
// folder entry keeps its trailing "\". False when the name is not safe or names no file.
bool EntryTargetPath(const std::wstring& installPath, const std::wstring& name, std::wstring* target);
