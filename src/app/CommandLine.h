#pragma once
// The installer's command line, for unattended installs:
//   /S           silent: no window and no message box; the exit code says what happened
//   /D=<folder>  the install folder: the rest of the line, spaces and all; quotes around it are dropped
//   /?           a box listing the options and the exit codes
// With no arguments the installer behaves as it always has.

#include <string>

struct CommandLine {
    bool silent = false;
    bool help = false;
    bool unknown = false;  // anything else on the line
    bool folderGiven = false;
    std::wstring folder;
};

CommandLine ParseCommandLine(const wchar_t* text);

// Exit codes of a silent install (the window keeps its own).
enum SilentExit : int {
    kSilentInstalled = 0,
    kSilentFailed = 1,
    kSilentFolderRefused = 2,
    kSilentExtractionFailed = 3,
    kSilentDownloadFailed = 4,
    kSilentAlreadyRunning = 5,
    kSilentFilesDamaged = 6,  // installer.ini or res.zip beside it is not the release's own
    kSilentCrashed = 7,       // the installer itself failed (an unhandled exception)
};

// What the /? box says.
extern const wchar_t kCommandLineHelp[];
