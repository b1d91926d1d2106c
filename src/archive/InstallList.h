#pragma once
// The list of what an installation created (kInstallListFile in the install folder), and the
// removal of what it names.

#include <string>
#include <vector>

// Writes the list for what an extraction into installPath created (absolute paths below it; the
// install folder itself is not listed). False, with the failure logged and no partial list left,
// when it cannot be written.
bool WriteInstallList(const std::wstring& installPath, const std::vector<std::wstring>& folders,
                      const std::vector<std::wstring>& files);

// The list's lines without line ends and blank lines; a line that is not UTF-8 comes back empty.
// False when there is no list or it cannot be read.
bool ReadInstallList(const std::wstring& installPath, std::vector<std::wstring>* lines);

// Removes what the list names: its files, then its folders whole, deepest first; the product's
// own folder (IsProductFolder) goes whole besides, and any other keeps everything not listed. A
// line that is absolute, climbs out, names a wildcard, a stream or a control character, or leads
// through a link, is never followed. A file in use (a running program's) is moved to the temp
// folder and deleted at the next restart. True when everything listed is gone and no line was
// refused; only then does the list go too.
bool RemoveInstallation(const std::wstring& installPath);
