#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/ModulePath.h"
#include "TestFiles.h"

namespace {

// Narrow paths for the file helpers (the build tree's path is ASCII); the log takes them wide.
std::string ScratchDir(const std::string& name) {
    return ToUserAnsi(FreshScratch(std::wstring(name.begin(), name.end())), MAX_PATH - 1);
}
std::wstring W(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string ReadAll(const std::string& path) {
    std::string text;
    ReadWholeFile(std::wstring(path.begin(), path.end()), &text);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

void WriteFileOfSize(const std::string& path, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string block(1 << 20, 'x');
    for (size_t left = size; left > 0;) {
        const size_t n = std::min(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
}

const std::regex kStamp(R"( \[\d{4}-(0[1-9]|1[0-2])-\d{2} ([01]\d|2[0-3]):[0-5]\d:[0-5]\d\]$)");

}  // namespace

TEST(Log, LinesCarryTagMessageAndTimestampWithLfOnly) {
    const std::string path = ScratchDir("tags") + "\\tmp.log";
    ::DeleteFileA(path.c_str());
    CLog log(W(path));
    ASSERT_TRUE(log.isOpen);
    log.level = 9;
    const std::pair<int, const char*> cases[] = {
        {-5, "[ERROR] "}, {0, "[ERROR] "}, {1, "[ERROR] "}, {2, "[WARN] "}, {3, "[INFORMATION] "}, {9, "[INFORMATION] "},
    };
    for (const auto& c : cases) log.Write("message " + std::to_string(c.first), c.first);

    const std::string text = ReadAll(path);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    const auto lines = Lines(text);
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string head = std::string(cases[i].second) + "message " + std::to_string(cases[i].first);
        EXPECT_EQ(lines[i].substr(0, head.size()), head);
        EXPECT_TRUE(std::regex_search(lines[i].substr(head.size()), kStamp)) << lines[i];
        EXPECT_EQ(lines[i].size(), head.size() + 22) << lines[i];  // " [YYYY-MM-DD hh:mm:ss]"
    }
}

TEST(Log, LevelFiltersAndClosedLogWritesNothing) {
    const std::string path = ScratchDir("levels") + "\\tmp.log";
    ::DeleteFileA(path.c_str());
    CLog log(W(path));
    ASSERT_EQ(log.level, 1);  // a new log only takes errors
    log.Write("kept", 1);
    log.Write("dropped warn", 2);
    log.Write("dropped info", 3);
    log.Write("kept too", -1);
    const auto lines = Lines(ReadAll(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("[ERROR] kept [", 0), 0u);
    EXPECT_EQ(lines[1].rfind("[ERROR] kept too [", 0), 0u);

    CLog closed(W("Z:\\no\\such\\folder\\tmp.log"));
    EXPECT_FALSE(closed.isOpen);
    EXPECT_EQ(closed.FileSize(), 0u);
    closed.Write("nothing", 1);  // must not crash or create anything
    EXPECT_EQ(::GetFileAttributesA("Z:\\no\\such\\folder\\tmp.log"), INVALID_FILE_ATTRIBUTES);
}

TEST(Log, AppendsToExistingFileAndKeepsMessageBytes) {
    const std::string path = ScratchDir("append") + "\\tmp.log";
    WriteFileOfSize(path, 0);
    { std::ofstream(path, std::ios::binary) << "old line\n"; }
    CLog log(W(path));
    log.Write(std::string("a\0b", 3), 1);  // embedded zero bytes are written as they are
    const std::string text = ReadAll(path);
    EXPECT_EQ(text.rfind("old line\n[ERROR] a", 0), 0u);
    EXPECT_EQ(text.substr(17, 3), std::string("a\0b", 3));
}

TEST(Log, RestartsOnlyWhenLargerThanTheLimit) {
    const std::string dir = ScratchDir("restart");
    const uint64_t limit = 10485760;

    const std::string atLimit = dir + "\\at.log";
    WriteFileOfSize(atLimit, limit);
    {
        CLog log(W(atLimit));
        EXPECT_EQ(log.FileSize(), limit);
        log.Write("after", 1);
        EXPECT_GT(log.FileSize(), limit);  // exactly the limit is not emptied
    }

    const std::string overLimit = dir + "\\over.log";
    WriteFileOfSize(overLimit, limit + 1);
    {
        CLog log(W(overLimit));
        log.Write("first of a new file", 1);
        const auto lines = Lines(ReadAll(overLimit));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("[ERROR] first of a new file [", 0), 0u);
    }
}

// Anyone who can write the installer's folder can put a second name of another file at tmp.log:
// the elevated installer must neither append to that file nor empty it past the size limit.
TEST(Log, ASecondNameAtTheLogIsReplacedNeverWrittenThrough) {
    const std::string dir = ScratchDir("planted");
    const size_t sizes[] = {5, 10485761};  // appended to; emptied by the restart
    for (const size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string victim = dir + "\\victim" + std::to_string(size) + ".txt";
        const std::string path = dir + "\\tmp" + std::to_string(size) + ".log";
        WriteFileOfSize(victim, size);
        ASSERT_TRUE(::CreateHardLinkA(path.c_str(), victim.c_str(), nullptr));
        {
            CLog log(W(path));
            log.Write("line", 1);
        }
        EXPECT_TRUE(ReadAll(victim) == std::string(size, 'x'));
        const auto lines = Lines(ReadAll(path));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("[ERROR] line [", 0), 0u);
    }
}

TEST(Log, OneLogPerPathAndUnwritableFolderLeavesLoggingOff) {
    const std::string path = ScratchDir("registry") + "\\tmp.log";
    CLog* first = InitLogAt(W(path));
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isOpen);
    EXPECT_EQ(first->level, 3);
    first->level = 1;
    CLog* second = InitLogAt(W(path));
    EXPECT_EQ(first, second);
    EXPECT_EQ(g_log, first);
    EXPECT_EQ(second->level, 3);  // found again: level reset to 3

    const std::string bad = "Z:\\no\\such\\folder\\tmp.log";
    CLog* closed = InitLogAt(W(bad));
    ASSERT_NE(closed, nullptr);
    EXPECT_EQ(g_log, closed);
    EXPECT_FALSE(closed->isOpen);
    EXPECT_EQ(closed->level, 1);
    EXPECT_EQ(g_logRegistry.count(bad), 0u);
    EXPECT_NE(InitLogAt(W(bad)), closed);  // never registered, so a second call makes another
    LogFormatW(g_log, L"%s", L"ignored");
    LogFormat(g_log, 1, "%s", "ignored");
}

// A folder the ANSI code page cannot spell still gets its log: the file is opened by its wide path.
TEST(Log, FolderNamedOutsideTheAnsiCodePageKeepsItsLog) {
    const std::wstring folder = FreshScratch(L"wide") + L"\\\u5b89\u88c5\u5305";
    if (ToWide(ToUserAnsi(folder), UserAnsiCodePage()) == folder) GTEST_SKIP() << "the code page spells the name";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    CLog* log = InitLogAt(folder + L"\\tmp.log");
    ASSERT_TRUE(log->isOpen);
    log->Write("kept", 1);
    log->Restart();
    log->Write("after restart", 1);
    std::string text;
    ASSERT_TRUE(ReadWholeFile(folder + L"\\tmp.log", &text));
    EXPECT_EQ(text.rfind("[ERROR] after restart [", 0), 0u) << text;
}

TEST(Log, InitLogOpensTmpLogBesideTheExecutable) {
    InitLog();
    ASSERT_NE(g_log, nullptr);
    ASSERT_TRUE(g_log->isOpen);
    const std::string expected = ToUserAnsi(ModuleDirectory() + L"\\tmp.log", MAX_PATH - 1);
    EXPECT_EQ(g_log->path, expected);
    EXPECT_EQ(g_log->level, 3);
}

TEST(Log, FormattedMessagesAreCutNotRejected) {
    const std::string path = ScratchDir("format") + "\\tmp.log";
    ::DeleteFileA(path.c_str());
    CLog log(W(path));
    log.level = 3;

    LogFormatW(&log, L"wide %s %d", L"text", 42);
    const std::wstring longWide(3000, L'w');
    LogFormatW(&log, L"%s", longWide.c_str());
    LogFormat(&log, 2, "narrow %s %d", "text", 7);
    const std::string longNarrow(3000, 'n');
    LogFormat(&log, 3, "%s", longNarrow.c_str());

    const auto lines = Lines(ReadAll(path));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("[INFORMATION] wide text 42 [", 0), 0u);
    EXPECT_EQ(lines[1].substr(0, 14 + 2047 + 2), "[INFORMATION] " + std::string(2047, 'w') + " [");
    EXPECT_EQ(lines[2].rfind("[WARN] narrow text 7 [", 0), 0u);
    EXPECT_EQ(lines[3].size(), 14u + 2047 + 22);
}

TEST(Log, TraceTextIsCutTo511Characters) {
    auto format = [](const wchar_t* f, ...) {
        va_list args;
        va_start(args, f);
        std::wstring s = FormatTraceV(f, args);
        va_end(args);
        return s;
    };
    EXPECT_EQ(format(L"enter %s %d", L"UnZipTask", 3), L"enter UnZipTask 3");
    const std::wstring big(2000, L'z');
    EXPECT_EQ(format(L"%s", big.c_str()), std::wstring(511, L'z'));
    DebugTrace(L"%s", big.c_str());  // must not overrun
}

TEST(Log, ConversionToAnsiNeverSplitsACharacter) {
    const std::wstring text = L"abc";
    EXPECT_EQ(ToUserAnsi(text, 2), "ab");
    EXPECT_EQ(ToUserAnsi(L"", 10), "");
    // Whatever the code page, a cut result is a prefix of the whole conversion and decodes cleanly.
    const std::wstring mixed = L"a\u00e9\u4e2d\u6587b";
    const std::string whole = ToUserAnsi(mixed, 100);
    for (size_t max = 1; max < whole.size(); ++max) {
        const std::string cut = ToUserAnsi(mixed, max);
        EXPECT_LE(cut.size(), max);
        EXPECT_EQ(whole.compare(0, cut.size(), cut), 0);
        EXPECT_NE(::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, cut.data(), static_cast<int>(cut.size()), nullptr, 0), 0)
            << "cut at " << max;
    }
}
