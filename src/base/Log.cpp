#include "base/Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cwchar>

#include "base/ModulePath.h"

namespace {

constexpr size_t kMaxMessage = 2047;

}  // namespace

CLog::CLog(std::wstring wide)
    : path(ToUserAnsi(wide, MAX_PATH - 1)), widePath(std::move(wide)), folder_(FolderPart(widePath)) {
    Open(FileIn::kOpenOrNew);
}

void CLog::Open(FileIn how) {
    if (folder_)
        stream = OpenFileIn(folder_, NamePart(widePath), how, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE);
    isOpen = stream.valid();
}

const char* CLog::TagFor(int messageLevel) {
    if (messageLevel <= 1) return "[ERROR] ";
    if (messageLevel == 2) return "[WARN] ";
    return "[INFORMATION] ";
}

uint64_t CLog::FileSize() const {
    if (!isOpen) return 0;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(stream.get(), &size)) return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

void CLog::Restart() {
    if (!isOpen || widePath.empty()) return;
    stream.reset();
    isOpen = false;
    Open(FileIn::kReplace);
}

void CLog::Write(std::string message, int messageLevel) {
    if (!isOpen || messageLevel > level) return;
    std::string line = withLevelTag ? std::string(TagFor(messageLevel)) + message : std::move(message);
    if (maxSize != 0 && FileSize() > maxSize) {
        Restart();
        if (!isOpen) return;
    }

    const __time64_t now = _time64(nullptr);
    tm local{};
    if (const tm* t = _localtime64(&now)) local = *t;
    char stamp[100] = {};
    snprintf(stamp, sizeof stamp, " [%04d-%02d-%02d %02d:%02d:%02d]\n", local.tm_year + 1900, local.tm_mon + 1,
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    line += stamp;

    // Appending: another process may share the file, so seek to its end for every line.
    LARGE_INTEGER zero{};
    ::SetFilePointerEx(stream.get(), zero, nullptr, FILE_END);
    DWORD written = 0;
    // Write errors change nothing: the log is best effort.
    ::WriteFile(stream.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

CLog* InitLogAt(const std::wstring& path) {
    const std::string narrowPath = ToUserAnsi(path, MAX_PATH - 1);
    const auto found = g_logRegistry.find(narrowPath);
    if (found != g_logRegistry.end()) {
        g_log = found->second;
        g_log->level = 3;
        return g_log;
    }
    // Never deleted: the runner thread may still log while the process exits.
    g_log = new CLog(path);
    if (g_log->isOpen) {
        g_logRegistry[narrowPath] = g_log;
        g_log->level = 3;
    }
    return g_log;
}

void InitLog() {
    InitLogAt(ModuleDirectory() + L"\\tmp.log");
}

void LogFormatW(CLog* log, const wchar_t* format, ...) {
    if (log == nullptr || format == nullptr) return;
    wchar_t buf[kMaxMessage + 1] = {};
    va_list args;
    va_start(args, format);
    // MSVCRT semantics: %s takes a wide string here. -1 on truncation, buffer then unterminated.
    _vsnwprintf(buf, kMaxMessage, format, args);
    va_end(args);
    buf[kMaxMessage] = L'\0';
    log->Write(ToUserAnsi(buf, kMaxMessage), 3);
}

void LogFormat(CLog* log, int messageLevel, const char* format, ...) {
    if (log == nullptr || format == nullptr) return;
    char buf[kMaxMessage + 1] = {};
    va_list args;
    va_start(args, format);
    _vsnprintf(buf, kMaxMessage, format, args);
    va_end(args);
    buf[kMaxMessage] = '\0';
    log->Write(buf, messageLevel);
}

void LogCallFailed(const char* call, const std::wstring& subject, DWORD code) {
    if (g_log == nullptr) return;
    // HRESULTs read best in hex, Win32 error numbers in decimal.
    char number[16];
    snprintf(number, sizeof number, code > 0xFFFF ? "0x%08lX" : "%lu", static_cast<unsigned long>(code));
    g_log->Write(std::string(call) + " failed for " + ToUserAnsi(subject, kMaxMessage) + ", error " + number, 1);
}

std::wstring FormatTraceV(const wchar_t* format, va_list args) {
    constexpr size_t kTraceBuffer = 0x200;
    wchar_t buf[kTraceBuffer] = {};
    if (format != nullptr) _vsnwprintf(buf, kTraceBuffer - 1, format, args);
    buf[kTraceBuffer - 1] = L'\0';
    return buf;
}

void DebugTrace(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatTraceV(format, args);
    va_end(args);
    ::OutputDebugStringW(text.c_str());
    ::OutputDebugStringW(L"\n");
}
