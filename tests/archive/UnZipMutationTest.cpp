// The unzip task on about a thousand damaged payloads (make_mutated_zips.py, one seed), one after
// another in this process, each placed beside this program as "platform.zip" and extracted into a
// folder of the user's own, with the user's files beside and inside it. Only what must hold for
// any archive is checked: the task ends (a watchdog), it ends one way, nothing outside the folder
// and none of the user's files change, a failure takes back what it made, a list names only what
// is there, and memory stays bounded. A failing archive is named by its seed and index.

#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "ArchiveTestUtil.h"
#include "TestFiles.h"
#include "archive/InstallList.h"
#include "archive/UnZipTask.h"
#include "base/ModulePath.h"
#include "base/Owners.h"
#include "base/Product.h"
#include "tasks/InstallMessages.h"

namespace {

// Far above what these small archives need (about 20 MiB here, and 32 KiB kept over a thousand
// runs), far below a declared size taken on trust.
constexpr SIZE_T kPeakWorkingSetLimit = 64u << 20;
constexpr SIZE_T kPrivateGrowthLimit = 4u << 20;
// A few kilobytes each: seconds would already mean a loop.
constexpr DWORD kArchiveTimeoutMs = 30000;
constexpr int kMostReported = 20;

// The archive in hand, for the watchdog and the crash report, which have nothing else to go on.
struct InHand {
    std::atomic<int> index{-1};
    std::atomic<DWORD> since{0};
    int seed = 0;
};

InHand& Current() {
    static InHand current;
    return current;
}

void SayWhichArchive(const char* what) {
    std::fprintf(stderr, "seed %d, archive %d: %s\n", Current().seed, Current().index.load(), what);
    std::fflush(stderr);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info) {
    char what[64];
    std::snprintf(what, sizeof what, "crashed with exception %#lx",
                  static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    SayWhichArchive(what);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Ends the process when one archive takes too long: a task that hangs cannot be stopped otherwise.
DWORD WINAPI Watch(void* stopEvent) {
    while (::WaitForSingleObject(static_cast<HANDLE>(stopEvent), 200) == WAIT_TIMEOUT) {
        if (Current().index.load() >= 0 && ::GetTickCount() - Current().since.load() > kArchiveTimeoutMs) {
            SayWhichArchive("did not end within 30 s");
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
    }
    return 0;
}

void WriteUserFile(const std::wstring& path, const std::string& text, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        << Utf8(path);
}

// What follows a successful extraction: its existence is the success.
TaskBase* MakeSuccessor(HWND window, int32_t) { return new TaskBase(window); }

int EnvNumber(const wchar_t* name) {
    wchar_t value[32] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 32);
    return n == 0 || n >= 32 ? 0 : std::stoi(value);
}

class UnZipMutationTest : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        Current().seed = EnvNumber(L"VEXO_MUTATION_SEED");
        count_ = EnvNumber(L"VEXO_MUTATION_COUNT");
        zips_ = WinPathFromEnv(L"VEXO_MUTATION_ZIPS");
        ASSERT_GT(count_, 0);
        ASSERT_FALSE(zips_.empty());
    }
    void TearDown() override {
        ::DestroyWindow(window_);
        ::DeleteFileW(Payload().c_str());
    }
    static std::wstring Payload() { return ModuleDirectory() + kPayloadFile; }

    // A user's documents: a file a level above the install folder and one beside it, a folder of
    // another program beside it, and inside it saves, a read-only and a hidden file. No damage to
    // an archive can spell these names.
    void MakeUserFiles() {
        root_ = FreshScratch(L"mutation");
        const std::wstring outer = root_ + L"\\Users~#\\Docs~#";
        folder_ = outer + L"\\Games~#";
        for (const std::wstring& made :
             {root_ + L"\\Users~#", outer, outer + L"\\OtherApp~#", folder_, folder_ + L"\\my-own-saves~#"})
            ASSERT_TRUE(::CreateDirectoryW(made.c_str(), nullptr)) << Utf8(made);
        WriteUserFile(root_ + L"\\up-one-level~#.txt", "the user's");
        WriteUserFile(outer + L"\\beside-the-folder~#.txt", "the user's, beside");
        WriteUserFile(outer + L"\\OtherApp~#\\settings~#.ini", "[other]\r\n");
        WriteUserFile(folder_ + L"\\my-own-saves~#\\slot-one~#.dat", std::string(5000, 'Z'));
        WriteUserFile(folder_ + L"\\notes-kept-read-only~#.txt", "mine", FILE_ATTRIBUTE_READONLY);
        WriteUserFile(folder_ + L"\\hidden-settings~#.cfg", "mine too", FILE_ATTRIBUTE_HIDDEN);
        outside_.clear();
        List(root_, folder_, &outside_);
        // This program's folder by names, sizes and times: reading it whole each time would cost more
        // than the run.
        List(ModuleDirectory(), Payload(), &outside_, false);
        users_.clear();
        List(folder_, L"", &users_);
    }

    // What the run left in the folder (`now`) beside the user's files goes; false when something stays.
    bool Reset(const Listing& now) {
        // Backwards, so what is in a folder goes before the folder.
        for (auto it = now.rbegin(); it != now.rend(); ++it) {
            if (users_.count(it->first) != 0) continue;
            ::SetFileAttributesW(it->first.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (it->second.attributes & FILE_ATTRIBUTE_DIRECTORY) ::RemoveDirectoryW(it->first.c_str());
            else ::DeleteFileW(it->first.c_str());
        }
        Listing left;
        List(folder_, L"", &left, false);
        return left.size() == users_.size();
    }

    void Report(int index, const std::string& what) {
        if (++reported_ > kMostReported) return;
        ADD_FAILURE() << "seed " << Current().seed << ", archive " << index << ": " << what
                      << "\n  made again by: tests/archive/make_mutated_zips.py --seed " << Current().seed
                      << " --index " << index << " <folder>";
    }

    // One archive; false when the next one needs the user's files made again.
    bool RunOne(int index) {
        wchar_t name[16];
        std::swprintf(name, 16, L"\\%04d.zip", index);
        if (!::CopyFileW((zips_ + name).c_str(), Payload().c_str(), FALSE)) {
            Report(index, "the archive is missing");
            return true;
        }
        Current().since = ::GetTickCount();
        Current().index = index;
        UnZipTask task(window_, MakeSuccessor);
        task.progressBase = 30;
        task.SetInstallPath(folder_);
        try {
            task.Run();
        } catch (const std::exception& e) {
            Report(index, std::string("the task threw: ") + e.what());
        }
        Current().index = -1;

        bool failed = false;
        MSG msg;
        while (::PeekMessageW(&msg, window_, WM_USER, WM_USER + 100, PM_REMOVE))
            failed = msg.message == WM_DISK_SPACE_ERROR;
        const bool succeeded = task.next != nullptr;
        delete task.next;
        if (failed == succeeded) Report(index, succeeded ? "a full disk reported after success" : "no outcome");

        Listing outside, inside;
        List(root_, folder_, &outside);
        List(ModuleDirectory(), Payload(), &outside, false);
        List(folder_, L"", &inside);
        bool intact = true;
        const std::string escaped = Difference(outside_, outside);
        if (!escaped.empty()) {
            Report(index, "outside the install folder, " + escaped);
            intact = false;
        }
        for (const auto& [path, seen] : users_) {
            const auto now = inside.find(path);
            if (now != inside.end() && now->second == seen) continue;
            Report(index, "the user's " + Utf8(path) + (now == inside.end() ? " is gone" : " changed"));
            intact = false;
        }
        // A failure takes back all it made; a success lists only what is there.
        if (failed) {
            const std::string left = Difference(users_, inside);
            if (!left.empty()) Report(index, "after a failure, " + left);
        } else if (succeeded) {
            std::vector<std::wstring> lines;
            if (!ReadInstallList(folder_, &lines)) Report(index, "no install list after success");
            // As the uninstaller will look for them: a folder's without its backslash.
            for (std::wstring line : lines) {
                while (!line.empty() && line.back() == L'\\') line.pop_back();
                if (!PathExists(folder_ + L"\\" + line)) Report(index, "listed, not there: " + Utf8(line));
            }
        }
        if (!Reset(inside)) {
            Report(index, "what it made cannot be cleared away");
            intact = false;
        }
        return intact;
    }

    HWND window_ = nullptr;
    int count_ = 0;
    int reported_ = 0;
    std::wstring zips_;
    std::wstring root_;
    std::wstring folder_;
    Listing outside_;  // beside the install folder and beside this program
    Listing users_;    // in the install folder
};

TEST_F(UnZipMutationTest, DamagedPayloadsNeitherEscapeNorTouchTheUsersFiles) {
    ::SetUnhandledExceptionFilter(OnCrash);
    UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(stop);
    UniqueHandle watchdog(::CreateThread(nullptr, 0, Watch, stop.get(), 0, nullptr));
    ASSERT_TRUE(watchdog);

    MakeUserFiles();
    PROCESS_MEMORY_COUNTERS first = {}, now = {};
    for (int index = 0; index < count_; ++index) {
        if (!RunOne(index)) MakeUserFiles();
        const SIZE_T peakBefore = now.PeakWorkingSetSize;
        now.cb = sizeof now;
        ASSERT_TRUE(::GetProcessMemoryInfo(::GetCurrentProcess(), &now, sizeof now));
        if (index == 0) first = now;
        // Named at the archive that first went over.
        if (peakBefore <= kPeakWorkingSetLimit && now.PeakWorkingSetSize > kPeakWorkingSetLimit)
            Report(index, "peak working set " + std::to_string(now.PeakWorkingSetSize >> 20) + " MiB");
    }
    // What the runs took and never gave back, archive after archive.
    EXPECT_LT(now.PagefileUsage, first.PagefileUsage + kPrivateGrowthLimit)
        << "private bytes " << (first.PagefileUsage >> 10) << " KiB after the first archive, "
        << (now.PagefileUsage >> 10) << " KiB after the last";
    std::printf("seed %d: %d archives, peak working set %u MiB, private bytes %u KiB after the first, %u KiB after "
                "the last\n",
                Current().seed, count_, static_cast<unsigned>(now.PeakWorkingSetSize >> 20),
                static_cast<unsigned>(first.PagefileUsage >> 10), static_cast<unsigned>(now.PagefileUsage >> 10));

    ::SetEvent(stop.get());
    ::WaitForSingleObject(watchdog.get(), INFINITE);
    ::SetUnhandledExceptionFilter(nullptr);
}

}  // namespace
