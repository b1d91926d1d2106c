#pragma once
// The list of what an installation created (kInstallListFile in the install folder), and the
// removal of what it names.

#include <string>
#include <vector>

#include "base/FileInFolder.h"
#include "base/Owners.h"

// Writes the list for what an extraction into installPath created, a path at a time, folders
// first, so a list of any length takes little memory. A path that is the install folder itself
// or lies outside it is left out. Failures are logged; a list that was not finished, or could not
// be written whole, is deleted: one cut short would leave files behind without a word.
class InstallListWriter {
public:
    // Creates the list, replacing an earlier one.
    explicit InstallListWriter(const std::wstring& installPath);
    // The same, for what an extraction into installPath is about to make, kept in another folder.
    InstallListWriter(const std::wstring& installPath, const std::wstring& listFolder);
    ~InstallListWriter();
    InstallListWriter(const InstallListWriter&) = delete;
    InstallListWriter& operator=(const InstallListWriter&) = delete;

    // An absolute path; false once the list cannot be written.
    bool Add(const std::wstring& path, bool folder);
    // True when the whole list is written; only then does it stay.
    bool Finish();

private:
    bool Flush();
    void Fail(const char* call, DWORD error);

    std::wstring prefix_;  // the install folder and a backslash
    std::wstring path_;
    HeldFolder folder_;  // the list's
    UniqueFile file_;
    std::string pending_;
    bool finished_ = false;
};

// The list's lines without its first line, line ends and blank lines; a line that is not UTF-8
// comes back empty. False when there is no list, it cannot be read, or its first line is not
// kInstallListHeader: a list the installer did not write is not followed.
bool ReadInstallList(const std::wstring& installPath, std::vector<std::wstring>* lines);

// A list's line as a path below the install folder, read as the extraction reads an entry's name;
// empty for one that is absolute, climbs out, names a device, a wildcard, a stream or a control
// character, or names the install folder itself. `folder`: it ends in a separator.
std::wstring ListedPath(const std::wstring& line, bool* folder);

// Removes what the list names: its files, then its folders whole, deepest first; the product's
// own folder (IsProductFolder) goes whole besides, and any other keeps everything not listed. A
// line that is absolute, climbs out, names the folder itself, a device, a wildcard, a stream or a
// control character, or leads through a link, is never followed; the rest still are. A file in
// use (a running program's) goes at the next restart. True when everything listed is gone and no
// line was refused; only then does the list go too.
bool RemoveInstallation(const std::wstring& installPath);
// The same with the list already read (`listed` false: there was none).
bool RemoveListedInstallation(const std::wstring& installPath, const std::vector<std::wstring>& lines, bool listed);
