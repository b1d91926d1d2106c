#pragma once
// What a run that changes an earlier installation leaves for the next start, should it be cut
// short: a record under the local machine's key (only administrators write there, so no program of
// the user's can plant one to have the elevated installer move or remove folders), one value a
// install folder; and what the swap and the files aside share about files in use.

#include <windows.h>

#include <string>
#include <vector>

// How often a file held open by another program is looked at again while the wait for it lasts.
constexpr DWORD kHeldRetryMs = 200;

// The install folder as both kinds of run name it: without trailing separators, a drive's root kept.
std::wstring WithoutTrailingSlashes(std::wstring path);
inline bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// committed: the run succeeded and only its leftovers remain to be removed; nothing is to be put
// back, even when their removal fails now and is tried again at a later start.
void RecordUnfinished(const std::wstring& installPath, bool committed = false);
void ForgetUnfinished(const std::wstring& installPath);
bool UnfinishedCommitted(const std::wstring& installPath);
std::vector<std::wstring> UnfinishedFolders();

// Removes a folder a run left; files in use leave for the temp folder and go at the next restart,
// as an uninstall's do. True when nothing is left (or left only until the restart).
bool RemoveLeftover(const std::wstring& folder);

// The first file below `folder` another program holds open. Windows will not rename a folder with
// such a file in it; looking first names the file, and behaves so where renaming would not refuse.
bool FindHeldFile(const std::wstring& folder, std::wstring* held);

// Logs that `file`, held open by another program, keeps the earlier installation in place, with
// the programs holding it where Windows can say (the Restart Manager, Vista and later).
void LogHeldFile(const std::wstring& file);
// Renames `from` to `to` (on the same volume) through a handle opened on `from` itself, held without
// sharing deletion, once the handle and the path show it is no junction or symbolic link: what is
// renamed is what was looked at, never what a link leads to (Wine renames a link's target), and
// nobody renames or replaces it meanwhile. By path where Windows cannot rename by handle (XP).
// ERROR_SUCCESS, kLinkRefused, or the call's error.
constexpr DWORD kLinkRefused = ERROR_CANT_ACCESS_FILE;
DWORD RenameItself(const std::wstring& from, const std::wstring& to);

// Errors that another program's open handle causes.
inline bool HeldByAnother(DWORD error) { return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED; }
