#include "app/CrashHandler.h"

#include <dbghelp.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <utility>

#include "app/CommandLine.h"
#include "archive/FolderSwap.h"
#include "base/FileInFolder.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "base/SystemApi.h"
#include "base/Text.h"
#include "tasks/Reports.h"
#include "tasks/TaskManager.h"
#include "ui/WindowTexts.h"

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
using SetThreadStackGuaranteeFn = BOOL(WINAPI*)(PULONG);
using LockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using UnlockLoaderFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);
constexpr ULONG kLoaderLockTryOnly = 2;
constexpr ULONG kLoaderLockAcquired = 1;

// The dump and the log line may take this long; a handler stuck on a lock a stopped thread holds
// ends the process here instead.
constexpr DWORD kRecordLimitMs = 30000;
// The report's sender has timeouts of its own, but retries: a dead network is not waited out.
constexpr DWORD kReportLimitMs = 5000;
// How long the window's thread has to show it can answer a box it owns.
constexpr DWORD kOwnerAnswerLimitMs = 1000;
// Room a faulting main thread keeps for the filter after a stack overflow (Vista and later).
constexpr ULONG kStackKeptForFaults = 16 * 1024;
constexpr size_t kMaxThreads = 1024;
// How long a normal end waits for the handler's threads to return.
constexpr DWORD kEndWaitMs = 1000;
// Tries at stopping the other threads at a moment none holds the loader lock, 10 ms apart.
constexpr int kLoaderLockTries = 100;
constexpr size_t kPathChars = 1024;
constexpr size_t kLineChars = 3 * kPathChars;

// Everything the handler needs, made at start-up. A global because the filter is handed nothing
// but the exception. Its handles are never closed: the threads waiting on them live until the
// process ends (at a normal end they are told so first), and a handle closed earlier would wake
// them as if a fault had come.
struct CrashState {
    LONG entered;  // a second entry is a fault inside the handler
    std::atomic<bool> silent;
    std::atomic<HWND> owner;
    MiniDumpWriteDumpFn writeDump;
    LockLoaderFn lockLoader;
    UnlockLoaderFn unlockLoader;
    UINT ansiCodePage;
    HANDLE go, recorded, reportGo, reported;  // manual-reset events, in the order they are set
    HANDLE worker, reporter;
    DWORD workerId, reporterId;
    std::atomic<bool> ending;  // the process ends normally: the threads return
    EXCEPTION_POINTERS* exception;
    DWORD faultingThread;
    wchar_t tempFolder[kPathChars];  // ends in a backslash
    HANDLE tempFolderHeld;           // held for the process's life, as logFolder
    wchar_t logFolderPath[kPathChars];  // the installer's folder, held by logFolder for the process's life
    HANDLE logFolder;
    wchar_t dumpPath[kPathChars];
    wchar_t code[9];
};
CrashState s_crash;

// A folder the handler writes in, held without sharing deletion; null when it cannot be.
HANDLE HoldFolder(const wchar_t* path) noexcept {
    UniqueFile folder;
    try {
        folder = OpenFolderHandle(path, false);
    } catch (...) {
    }
    return folder ? folder.release() : nullptr;
}

UINT ExitCode() noexcept { return s_crash.silent ? kSilentCrashed : 0; }

// The C runtime sets up a thread's own data the first time the thread formats: done before any
// fault, not on a heap that may be broken.
void PrepareThread() noexcept {
    wchar_t text[16];
    _snwprintf(text, 16, L"%08lX", 0ul);
    char bytes[16];
    snprintf(bytes, sizeof bytes, "%d", 0);
}

bool IsHandlerThread(DWORD id) noexcept {
    return id == s_crash.faultingThread || id == s_crash.workerId || id == s_crash.reporterId;
}

// The threads the worker has stopped (kept on its own stack).
struct StoppedThreads {
    DWORD ids[kMaxThreads];
    UniqueHandle handles[kMaxThreads];
    size_t count = 0;

    bool Has(DWORD id) const noexcept {
        for (size_t i = 0; i < count; ++i)
            if (ids[i] == id) return true;
        return false;
    }
    void ResumeAll() noexcept {
        for (size_t i = 0; i < count; ++i) {
            ::ResumeThread(handles[i].get());
            handles[i].reset();
        }
        count = 0;
    }
    void ResumeAllBut(DWORD id) noexcept {
        for (size_t i = 0; i < count; ++i)
            if (ids[i] != id) ::ResumeThread(handles[i].get());
    }
};

// Stops every other thread of the process, so nothing goes on installing, or ends the process,
// while the handler works; threads started meanwhile are caught by a further look.
void StopOtherThreads(StoppedThreads& stopped) noexcept {
    const DWORD pid = ::GetCurrentProcessId();
    for (int look = 0; look < 4; ++look) {
        const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        if (!snapshot) return;
        bool stoppedAny = false;
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL found = ::Thread32First(snapshot.get(), &entry); found && stopped.count < kMaxThreads;
             found = ::Thread32Next(snapshot.get(), &entry)) {
            const DWORD id = entry.th32ThreadID;
            if (entry.th32OwnerProcessID != pid || IsHandlerThread(id) || stopped.Has(id)) continue;
            UniqueHandle thread(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, id));
            if (!thread || ::SuspendThread(thread.get()) == static_cast<DWORD>(-1)) continue;
            stopped.ids[stopped.count] = id;
            stopped.handles[stopped.count++] = std::move(thread);
            stoppedAny = true;
        }
        if (!stoppedAny) return;
    }
}

// False while a stopped thread holds the loader lock (it loads a DLL): the dump, the report and
// the box all need it.
bool LoaderLockFree() noexcept {
    if (s_crash.lockLoader == nullptr || s_crash.unlockLoader == nullptr) return true;
    ULONG disposition = 0;
    ULONG_PTR cookie = 0;
    if (s_crash.lockLoader(kLoaderLockTryOnly, &disposition, &cookie) != 0) return true;
    if (disposition != kLoaderLockAcquired) return false;
    s_crash.unlockLoader(0, cookie);
    return true;
}

// Stopped at a moment no stopped thread holds the loader lock, unless the faulting thread holds it
// (a fault while loading a DLL): then after the last try, as they are.
void StopOtherThreadsOutsideTheLoader(StoppedThreads& stopped) noexcept {
    for (int attempt = 1;; ++attempt) {
        StopOtherThreads(stopped);
        if (attempt == kLoaderLockTries || LoaderLockFree()) return;
        stopped.ResumeAll();
        ::Sleep(10);
    }
}

// The minidump, in a new file of the temp folder named in dumpPath; the error when there is none.
DWORD WriteDump() noexcept {
    if (s_crash.writeDump == nullptr) return ERROR_PROC_NOT_FOUND;
    const DWORD pid = ::GetCurrentProcessId();
    const DWORD tick = ::GetTickCount();
    if (s_crash.tempFolderHeld == nullptr) return ERROR_PATH_NOT_FOUND;
    UniqueFile file;
    DWORD error = ERROR_FILE_EXISTS;
    for (DWORD n = 0; n < 16 && error == ERROR_FILE_EXISTS; ++n) {
        _snwprintf(s_crash.dumpPath, kPathChars - 1, L"%s%s-installer-%lu-%lu.dmp", s_crash.tempFolder,
                   kProductFolderName, pid, tick + n);
        // A new file by name in the held temp folder, which is the user's to write.
        file = OpenFileIn(s_crash.tempFolderHeld, s_crash.tempFolder, s_crash.dumpPath + wcslen(s_crash.tempFolder),
                          FileIn::kNew, GENERIC_READ | GENERIC_WRITE, 0);
        error = file ? ERROR_SUCCESS : ::GetLastError();
    }
    if (error != ERROR_SUCCESS) return error;
    MINIDUMP_EXCEPTION_INFORMATION exception = {s_crash.faultingThread, s_crash.exception, FALSE};
    if (s_crash.writeDump(::GetCurrentProcess(), pid, file.get(), MiniDumpNormal, &exception, nullptr, nullptr))
        return ERROR_SUCCESS;
    error = ::GetLastError();
    file.reset();
    // A dump cut short is no help to anyone.
    RemoveNameIn(s_crash.tempFolderHeld, s_crash.tempFolder, s_crash.dumpPath + wcslen(s_crash.tempFolder));
    return error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
}

// One line in tmp.log, laid out as CLog::Write lays out its lines, from fixed buffers only.
void WriteLogLine(DWORD dumpError) noexcept {
    const void* address = s_crash.exception->ExceptionRecord->ExceptionAddress;
    wchar_t where[kPathChars + 32];
    HMODULE module = nullptr;
    wchar_t moduleName[kPathChars] = {};
    const DWORD nameLength =
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             static_cast<LPCWSTR>(address), &module)
            ? ::GetModuleFileNameW(module, moduleName, kPathChars)
            : 0;
    if (nameLength > 0 && nameLength < kPathChars) {
        _snwprintf(
            where, kPathChars + 31, L"%s+0x%08lX", moduleName,
            static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module)));
    } else {
        _snwprintf(where, kPathChars + 31, L"0x%08lX (in no module)",
                   static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
    }
    where[kPathChars + 31] = L'\0';

    wchar_t message[kLineChars];
    if (dumpError == ERROR_SUCCESS) {
        _snwprintf(message, kLineChars - 1, L"unhandled exception %s at %s, dump %s", s_crash.code, where,
                   s_crash.dumpPath);
    } else {
        // As LogCallFailed: HRESULTs (dbghelp's) in hex, Win32 error numbers in decimal.
        _snwprintf(message, kLineChars - 1,
                   dumpError > 0xFFFF ? L"unhandled exception %s at %s, no dump: error 0x%08lX"
                                      : L"unhandled exception %s at %s, no dump: error %lu",
                   s_crash.code, where, static_cast<unsigned long>(dumpError));
    }
    message[kLineChars - 1] = L'\0';

    char line[3 * kLineChars];
    const char* tag = CLog::TagFor(1);
    size_t length = strlen(tag);
    memcpy(line, tag, length);
    const int converted = ::WideCharToMultiByte(s_crash.ansiCodePage, 0, message, -1, line + length,
                                                static_cast<int>(sizeof line - length - 32), nullptr, nullptr);
    if (converted <= 0) return;
    length += static_cast<size_t>(converted) - 1;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const int stamped = snprintf(line + length, sizeof line - length, " [%04u-%02u-%02u %02u:%02u:%02u]\n",
                                 unsigned{now.wYear}, unsigned{now.wMonth}, unsigned{now.wDay}, unsigned{now.wHour},
                                 unsigned{now.wMinute}, unsigned{now.wSecond});
    if (stamped <= 0) return;
    length += static_cast<size_t>(stamped);

    // Its own handle: the log may not be open yet, and appending needs no seek shared with it. By
    // name in the held folder, as the log opens it: never through a link someone put there.
    if (s_crash.logFolder == nullptr) return;
    const UniqueFile log = OpenFileIn(s_crash.logFolder, s_crash.logFolderPath, L"tmp.log", FileIn::kOpenOrNew,
                                      FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE);
    DWORD written = 0;
    if (log) ::WriteFile(log.get(), line, static_cast<DWORD>(length), &written, nullptr);
}

// The window's box. Owned by the window when the window's thread answers: one that does not (it
// faulted, or waits for the stopped runner) would hold a box it owns forever.
void ShowBox(HWND owner, bool ownerRuns) noexcept {
    DWORD_PTR answer = 0;
    if (owner != nullptr &&
        (!ownerRuns || !::SendMessageTimeoutW(owner, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kOwnerAnswerLimitMs, &answer)))
        owner = nullptr;
    ::MessageBoxW(owner, kInstallerFailedText, kMessageCaption, MB_OK | MB_ICONERROR | (owner ? 0 : MB_TOPMOST));
}

DWORD WINAPI CrashWorker(LPVOID) {
    PrepareThread();
    if (::WaitForSingleObject(s_crash.go, INFINITE) != WAIT_OBJECT_0 || s_crash.ending) return 0;
    const HWND owner = s_crash.silent ? nullptr : s_crash.owner.load();
    const DWORD ownerThread = owner != nullptr ? ::GetWindowThreadProcessId(owner, nullptr) : 0;
    StoppedThreads stopped;
    StopOtherThreadsOutsideTheLoader(stopped);
    // First, before anything that may fail: the earlier installation must be whole again.
    UndoSwapInProgress();
    _snwprintf(s_crash.code, 9, L"%08lX",
               static_cast<unsigned long>(s_crash.exception->ExceptionRecord->ExceptionCode));
    s_crash.code[8] = L'\0';
    WriteLogLine(WriteDump());
    ::SetEvent(s_crash.recorded);
    ::SetEvent(s_crash.reportGo);
    ::WaitForSingleObject(s_crash.reported, kReportLimitMs);
    if (!s_crash.silent) {
        // The window and whatever it waits for run again; the runner, which changes the computer, stays stopped.
        stopped.ResumeAllBut(g_taskManager.threadId);
        ShowBox(owner, ownerThread != s_crash.faultingThread && ownerThread != 0);
    }
    ::TerminateProcess(::GetCurrentProcess(), ExitCode());
    return 0;
}

// The report on a thread of its own, so the worker can give up on it.
DWORD WINAPI CrashReporter(LPVOID) {
    PrepareThread();
    if (::WaitForSingleObject(s_crash.reportGo, INFINITE) != WAIT_OBJECT_0 || s_crash.ending) return 0;
    try {
        Report(L"install_err", L"crash", s_crash.code, L"");
    } catch (...) {
        // Out of memory: the report is lost, as on a dead network.
    }
    ::SetEvent(s_crash.reported);
    return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    if (::InterlockedExchange(&s_crash.entered, 1) != 0) {
        // A fault while handling one: nothing more can be trusted.
        ::TerminateProcess(::GetCurrentProcess(), ExitCode());
        return EXCEPTION_EXECUTE_HANDLER;
    }
    s_crash.exception = exception;
    s_crash.faultingThread = ::GetCurrentThreadId();
    if (s_crash.worker != nullptr && ::SetEvent(s_crash.go)) {
        // This thread may have no stack left: it only waits. The worker ends the process itself
        // once it has recorded the fault; it may have been ended (the process is exiting).
        const HANDLE recordedOrGone[2] = {s_crash.recorded, s_crash.worker};
        if (::WaitForMultipleObjects(2, recordedOrGone, FALSE, kRecordLimitMs) == WAIT_OBJECT_0)
            ::WaitForSingleObject(s_crash.worker, INFINITE);
    } else {
        UndoSwapInProgress();
    }
    ::TerminateProcess(::GetCurrentProcess(), ExitCode());
    return EXCEPTION_EXECUTE_HANDLER;
}

HANDLE NewEvent() noexcept { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// At a normal end the handler's threads return first: killed while they wait, under Wine they
// now and then took the ending process down with them (a fault after the exit code was set).
void EndHandlerThreads() noexcept {
    // From here a fault ends the process at once; one being handled keeps its threads.
    if (::InterlockedExchange(&s_crash.entered, 1) != 0) return;
    s_crash.ending = true;
    ::SetEvent(s_crash.go);
    ::SetEvent(s_crash.reportGo);
    HANDLE threads[2];
    DWORD count = 0;
    for (const HANDLE thread : {s_crash.worker, s_crash.reporter})
        if (thread != nullptr) threads[count++] = thread;
    if (count > 0) ::WaitForMultipleObjects(count, threads, TRUE, kEndWaitMs);
}

}  // namespace

void InstallCrashHandler() noexcept {
    s_crash.ansiCodePage = UserAnsiCodePage();
    s_crash.lockLoader = SystemFunctionAs<LockLoaderFn>(SystemFunction::LdrLockLoaderLock);
    s_crash.unlockLoader = SystemFunctionAs<UnlockLoaderFn>(SystemFunction::LdrUnlockLoaderLock);
    s_crash.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(
        reinterpret_cast<void*>(LookUpSystemDllFunction(SystemDll::DbgHelp, "MiniDumpWriteDump")));
    const DWORD tempLength = ::GetTempPathW(kPathChars, s_crash.tempFolder);
    if (tempLength == 0 || tempLength >= kPathChars) s_crash.tempFolder[0] = L'\0';
    else s_crash.tempFolderHeld = HoldFolder(s_crash.tempFolder);
    try {
        const std::wstring folder = ModuleDirectory();
        if (folder.size() < kPathChars) {
            wcscpy(s_crash.logFolderPath, folder.c_str());
            s_crash.logFolder = HoldFolder(folder.c_str());
        }
    } catch (...) {
        // No path, no line: the dump and the report still come.
    }

    s_crash.go = NewEvent();
    s_crash.recorded = NewEvent();
    s_crash.reportGo = NewEvent();
    s_crash.reported = NewEvent();
    if (s_crash.go != nullptr && s_crash.recorded != nullptr && s_crash.reportGo != nullptr &&
        s_crash.reported != nullptr) {
        // Both wait for a fault as long as the process lives; the filter waits for the worker's end.
        s_crash.reporter = ::CreateThread(nullptr, 0, CrashReporter, nullptr, 0, &s_crash.reporterId);
        s_crash.worker = ::CreateThread(nullptr, 0, CrashWorker, nullptr, 0, &s_crash.workerId);
        std::atexit(EndHandlerThreads);
    }

    // The main thread keeps some stack for the filter after an overflow; the worker does the rest.
    if (const auto guarantee = SystemFunctionAs<SetThreadStackGuaranteeFn>(SystemFunction::SetThreadStackGuarantee)) {
        ULONG size = kStackKeptForFaults;
        guarantee(&size);
    }
    ::SetUnhandledExceptionFilter(OnUnhandledException);
}

void SetCrashEnding(bool silent, HWND owner) noexcept {
    s_crash.owner = owner;
    s_crash.silent = silent;
}
