#pragma once
// Removing an install folder, limited to what belongs to the product.

#include <string>

#include "base/Product.h"

// True when the whole folder may go: its last component is the product's folder name, or the
// path is empty. A folder the user typed otherwise may hold unrelated files.
bool IsProductFolder(const std::wstring& installPath);

// Deletes a file or folder tree permanently, silently, without the recycle bin; false when the
// shell reports a failure (the caller traces "failed to delete file").
bool DeleteTree(const std::wstring& path);

// True when an archive entry name, after "/" becomes "\", stays inside the folder it is
// extracted to: not absolute, no drive or UNC prefix, no ".." component (nor one Windows would
// read as such, like "..." or ".. ").
bool IsSafeEntryName(const std::wstring& name);
