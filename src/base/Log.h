#pragma once
// The installer's log file ("tmp.log" beside the executable) and the debug trace.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "base/FileInFolder.h"
#include "base/Owners.h"
#include "base/Text.h"

class CLog {
public:
    // Opens the file by its wide path, so a folder the ANSI code page cannot spell still gets
    // its log; `path` keeps the narrow form the registry of logs is keyed by. The folder is held
    // and the file opened by its name in it, never through a link or a second name of another
    // file: such a name is replaced by a new file of the log's own, so the elevated installer
    // never appends to, or empties, a file someone put a link to beside it.
    explicit CLog(std::wstring widePath);
    virtual ~CLog() = default;
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Appends one line: level tag, message bytes, local timestamp, LF. Skipped while
    // closed or when messageLevel is above `level`.
    void Write(std::string message, int messageLevel);
    // Current length of the file; 0 while closed.
    uint64_t FileSize() const;
    // Empties the file by reopening it truncated; on failure the log stays closed.
    void Restart();

    static const char* TagFor(int messageLevel);

    UniqueFile stream;
    bool isOpen = false;
    std::string path;
    int32_t level = 1;
    bool withLevelTag = true;
    uint32_t maxSize = 0xA00000;
    std::wstring widePath;

private:
    void Open(FileIn how);

    HeldFolder folder_;
};

extern std::map<std::string, CLog*> g_logRegistry;
extern CLog* g_log;

// Opens "tmp.log" beside the executable (one CLog per path) and makes it g_log.
void InitLog();
// Same, for a given path; InitLog uses it.
CLog* InitLogAt(const std::wstring& path);

// Formats wide text (at most 2047 characters), converts it to the user's ANSI code page
// and writes it at level 3. A null log is ignored.
void LogFormatW(CLog* log, const wchar_t* format, ...);
// Formats narrow text (at most 2047 bytes) and writes it at the given level.
void LogFormat(CLog* log, int messageLevel, const char* format, ...);
// A Windows call whose failure the installation goes on past, written to g_log at level 1 as
// "<call> failed for <subject>, error <code>", so the log says what is missing and why.
void LogCallFailed(const char* call, const std::wstring& subject, DWORD code);

// Formats wide text into 0x200 characters (511 of text) and sends it, then a line break,
// to the debugger output.
void DebugTrace(const wchar_t* format, ...);
std::wstring FormatTraceV(const wchar_t* format, va_list args);
