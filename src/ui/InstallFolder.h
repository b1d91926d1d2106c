#pragma once
// Checks on the install folder the user typed or chose, in the order the install button
// applies them, and the folder helpers they need.

#include <windows.h>

#include <string>

enum class FolderCheck {
    Ok,
    Empty,
    TooLong,        // more than kMaxInstallPathLength code units
    NoDrive,        // the first character is no existing drive letter
    PatternError,   // the folder pattern did not compile
    BadCharacters,  // no match of the folder pattern once spaces are removed
    CannotCreate,
};

constexpr size_t kMaxInstallPathLength = 50;

// Runs every check and, when all pass and the folder is missing, creates it with its parents.
FolderCheck CheckInstallFolder(const std::wstring& installPath);
// The message box text for a failed check; null for Ok.
const wchar_t* FolderCheckMessage(FolderCheck check);

// True when a logical drive with this letter (either case) exists.
bool DriveExists(wchar_t letter);
// Creates the folder and every missing parent; true when the folder exists afterwards.
bool CreateDirectoryTree(const wchar_t* path, LPSECURITY_ATTRIBUTES security = nullptr);
// The folder proposed when the user names none: the product's folder below Program Files (which
// is created when missing; the folder itself is left to the checks).
std::wstring DefaultInstallFolder();
// The product's own folder below a folder picked in the dialog: "kavix" below it.
std::wstring ProductFolderBelow(const std::wstring& chosen);
