#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "ArchiveTestUtil.h"
#include "base/Owners.h"
#include "archive/InflatePath.h"
#include "archive/ZipReader.h"

namespace {

constexpr int64_t kMtime = 1600000000;  // what the fixture stamps on its source files
constexpr int64_t kAtime = 1500000000;

uint64_t TicksFromSystemTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st = {};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return Ticks(ft);
}

using Archive = UniqueArchive;

Archive Open(const std::wstring& name) { return Archive(OpenArchive(ZipData(name).c_str())); }

int32_t CountOf(ArchiveHandle* h) {
    ArchiveEntry e;
    if (GetArchiveEntry(h, -1, &e) != kArchiveOk) return -1;
    return e.index;
}

// An extraction expected to succeed; a failure says what Windows said and how much room was left,
// since a full disk and a refused write look the same in the archive's own code.
::testing::AssertionResult Extracted(ArchiveHandle* h, int32_t index, const std::wstring& target) {
    const int32_t result = ExtractEntry(h, index, target.c_str());
    if (result == kArchiveOk) return ::testing::AssertionSuccess();
    const DWORD error = ::GetLastError();
    ULARGE_INTEGER freeBytes = {};
    ::GetDiskFreeSpaceExW(target.substr(0, 3).c_str(), &freeBytes, nullptr, nullptr);
    return ::testing::AssertionFailure() << target << ": entry " << index << " gave " << result << ", error " << error << ", "
                                         << freeBytes.QuadPart / (1024 * 1024) << " MiB free";
}

std::string Source(const std::wstring& relative) {
    std::string data;
    EXPECT_TRUE(ReadWholeFile(ZipData(L"data\\" + relative), &data)) << "missing source";
    return data;
}

std::wstring LocalPath(std::wstring name) {
    for (auto& c : name)
        if (c == L'/') c = L'\\';
    return name;
}

class ZipTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        scratch_ = FreshScratch(std::wstring(name.begin(), name.end()));
    }
    std::wstring Out(const std::wstring& name) const { return scratch_ + L"\\" + name; }
    std::wstring scratch_;
};

// ---- Opening -------------------------------------------------------------------------------

struct OpenFailureCase {
    const wchar_t* file;
    int32_t code;
};

TEST(ZipOpen, FailuresGiveTheirCodeAndNoHandle) {
    const OpenFailureCase cases[] = {
        {L"no-such-file.zip", kArchiveErrOpenFile},
        {L"notzip.bin", kArchiveErrIo},
        {L"empty.zip", kArchiveErrIo},         // end record at byte 0
        {L"comment_over.zip", kArchiveErrIo},  // comment one byte too long hides the record
        {L"multidisk.zip", kArchiveErrBadEndRecord},
        {L"counts.zip", kArchiveErrBadEndRecord},
        {L"cd_beyond.zip", kArchiveErrBadEndRecord},
        // Entries that share local data would write the same bytes again and again.
        {L"overlap.zip", kArchiveErrBadEndRecord},
        {L"into_central.zip", kArchiveErrBadEndRecord},
    };
    for (const auto& c : cases) {
        lastArchiveError = 12345;
        ArchiveHandle* h = OpenArchive(ZipData(c.file).c_str());
        EXPECT_EQ(h, nullptr) << c.file;
        EXPECT_EQ(lastArchiveError, c.code) << c.file;
        if (h) CloseArchive(h);
    }
}

TEST(ZipOpen, RecordBehindLongestCommentIsFound) {
    Archive a = Open(L"comment_max.zip");
    ASSERT_TRUE(a);
    EXPECT_EQ(lastArchiveError, kArchiveOk);
    ArchiveEntry e;
    ASSERT_EQ(GetArchiveEntry(a.get(), 0, &e), kArchiveOk);
    EXPECT_STREQ(e.name, L"small.txt");
    EXPECT_EQ(CountOf(a.get()), 1);
}

// ---- Handles and arguments -----------------------------------------------------------------

// Opens and closes an archive, which leaves this thread's last error at 0.
DWORD WINAPI OpenAndClose(LPVOID) {
    Archive a = Open(L"infozip.zip");
    return a ? 0 : 1;
}

// The window reads its skin while the runner extracts: a close on one thread must not wipe out
// a failure the other has not read yet.
TEST(ZipArguments, LastErrorIsKeptPerThread) {
    EXPECT_EQ(ExtractEntry(nullptr, 0, L"x"), kArchiveErrArgument);
    UniqueHandle other(::CreateThread(nullptr, 0, OpenAndClose, nullptr, 0, nullptr));
    ASSERT_TRUE(other);
    ASSERT_EQ(::WaitForSingleObject(other.get(), 10000), WAIT_OBJECT_0);
    DWORD opened = 1;
    ASSERT_TRUE(::GetExitCodeThread(other.get(), &opened) && opened == 0);
    EXPECT_EQ(lastArchiveError, kArchiveErrArgument);
}

TEST(ZipArguments, BadHandlesAndIndexes) {
    ArchiveEntry e;
    EXPECT_EQ(GetArchiveEntry(nullptr, 0, &e), kArchiveErrArgument);
    EXPECT_EQ(lastArchiveError, kArchiveErrArgument);
    EXPECT_EQ(ExtractEntry(nullptr, 0, L"x"), kArchiveErrArgument);
    EXPECT_EQ(CloseArchive(nullptr), kArchiveErrArgument);

    ArchiveHandle wrongKind = {2, nullptr};
    EXPECT_EQ(GetArchiveEntry(&wrongKind, 0, &e), kArchiveErrNotReader);
    EXPECT_EQ(ExtractEntry(&wrongKind, 0, L"x"), kArchiveErrNotReader);
    EXPECT_EQ(CloseArchive(&wrongKind), kArchiveErrNotReader);
    EXPECT_EQ(lastArchiveError, kArchiveErrNotReader);

    Archive a = Open(L"infozip.zip");
    ASSERT_TRUE(a);
    const int32_t count = CountOf(a.get());
    ASSERT_EQ(count, 8);
    ArchiveEntry untouched;
    memset(&untouched, 0xA5, sizeof untouched);
    for (int32_t bad : {-2, count, count + 100}) {
        ArchiveEntry probe = untouched;
        EXPECT_EQ(GetArchiveEntry(a.get(), bad, &probe), kArchiveErrArgument) << bad;
        EXPECT_EQ(memcmp(&probe, &untouched, sizeof probe), 0) << "record changed on failure";
        EXPECT_EQ(ExtractEntry(a.get(), bad, L"never.txt"), kArchiveErrArgument) << bad;
    }
    EXPECT_EQ(ExtractEntry(a.get(), -1, L"never.txt"), kArchiveErrArgument);
    EXPECT_FALSE(PathExists(L"never.txt"));

    ArchiveEntry countEntry;
    memset(&countEntry, 0xA5, sizeof countEntry);
    ASSERT_EQ(GetArchiveEntry(a.get(), -1, &countEntry), kArchiveOk);
    EXPECT_EQ(countEntry.index, 8);
    EXPECT_EQ(countEntry.name[0], L'\0');
    EXPECT_EQ(countEntry.attr, 0u);
    EXPECT_EQ(Ticks(countEntry.mtime), 0u);
    EXPECT_EQ(countEntry.compSize, 0);
    EXPECT_EQ(countEntry.uncompSize, 0);

    EXPECT_EQ(CloseArchive(a.release()), kArchiveOk);
    EXPECT_EQ(lastArchiveError, kArchiveOk);
}

// ---- Entries made by real tools ------------------------------------------------------------

struct ToolEntry {
    const wchar_t* name;
    uint32_t attr;
    bool stored;
};

TEST_F(ZipTest, InfoZipEntriesAndTheirFiles) {
    const ToolEntry expected[] = {
        {L"hello.txt", 0x80, false}, {L"random.bin", 0x80, true},     {L"big.dat", 0x80, false},
        {L"empty.txt", 0x80, true},  {L"ro.txt", 0x80, true},         {L"dir/", 0x90, true},
        {L"dir/sub/", 0x90, true},   {L"dir/sub/c.txt", 0x80, false},
    };
    Archive a = Open(L"infozip.zip");
    ASSERT_TRUE(a);
    ASSERT_EQ(CountOf(a.get()), 8);
    for (int32_t i = 0; i < 8; ++i) {
        const ToolEntry& want = expected[i];
        ArchiveEntry e;
        ASSERT_EQ(GetArchiveEntry(a.get(), i, &e), kArchiveOk) << i;
        EXPECT_EQ(e.index, i);
        EXPECT_STREQ(e.name, want.name);
        EXPECT_EQ(e.attr, want.attr) << i;
        // The local "UT" block carries modification and access times; creation stays the DOS
        // stamp, which zip wrote in UTC here.
        EXPECT_EQ(Ticks(e.mtime), TicksFromUnix(kMtime)) << i;
        // zip itself reads folders after the fixture stamped them, so only files keep kAtime.
        if (!(want.attr & FILE_ATTRIBUTE_DIRECTORY)) {
            EXPECT_EQ(Ticks(e.atime), TicksFromUnix(kAtime)) << i;
        }
        EXPECT_EQ(Ticks(e.ctime), TicksFromSystemTime(2020, 9, 13, 12, 26, 40)) << i;
        if (want.attr & FILE_ATTRIBUTE_DIRECTORY) continue;
        EXPECT_EQ(e.uncompSize, static_cast<int32_t>(Source(LocalPath(want.name)).size()));
        if (want.stored) {
            EXPECT_EQ(e.compSize, e.uncompSize);
        } else {
            EXPECT_LT(e.compSize, e.uncompSize);
        }

        const std::wstring target = Out(std::to_wstring(i));
        ASSERT_TRUE(Extracted(a.get(), i, target));
        EXPECT_EQ(lastArchiveError, kArchiveOk);
        // Read-only in the archive, writable on disk; times carried to the file.
        ASSERT_TRUE(PathExists(target));
        const DWORD attr = GetFileAttributesW(target.c_str());
        EXPECT_EQ(attr & FILE_ATTRIBUTE_READONLY, 0u) << i;
        UniqueFile f(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME c, ac, w;
        ASSERT_TRUE(GetFileTime(f.get(), &c, &ac, &w));
        EXPECT_EQ(Ticks(w), TicksFromUnix(kMtime)) << i;
        EXPECT_EQ(Ticks(ac), TicksFromUnix(kAtime)) << i;
    }
}

// Archives from real tools (plain, data descriptors, self-extractor prefix) come out as their
// sources. Entries are taken last to first, so every step walks the directory from the start.
TEST_F(ZipTest, ToolArchivesExtractToTheirSources) {
    for (const wchar_t* file : {L"infozip.zip", L"pipe.zip", L"sfx.zip"}) {
        Archive a = Open(file);
        ASSERT_TRUE(a) << lastArchiveError;
        const int32_t count = CountOf(a.get());
        ASSERT_GE(count, 3);
        std::vector<std::wstring> names;
        for (int32_t i = 0; i < count; ++i) {
            ArchiveEntry e;
            ASSERT_EQ(GetArchiveEntry(a.get(), i, &e), kArchiveOk);
            names.push_back(e.name);
        }
        for (int32_t i = count - 1; i >= 0; --i) {
            ArchiveEntry e;
            ASSERT_EQ(GetArchiveEntry(a.get(), i, &e), kArchiveOk);
            EXPECT_EQ(names[i], e.name);
            const std::wstring target = Out(std::wstring(file) + L"." + std::to_wstring(i));
            ASSERT_TRUE(Extracted(a.get(), i, target));
            if (e.attr & FILE_ATTRIBUTE_DIRECTORY) {
                EXPECT_FALSE(PathExists(target)) << "a folder entry must produce nothing";
                continue;
            }
            std::string got;
            ASSERT_TRUE(ReadWholeFile(target, &got));
            EXPECT_TRUE(got == Source(LocalPath(e.name))) << file << " " << i;
        }
    }
}

// An existing target is replaced whole, not written over in place; one that cannot be replaced
// gives 0x200 and keeps its bytes.
TEST_F(ZipTest, ExistingTargetsAreReplacedOrLeftIntact) {
    Archive a = Open(L"infozip.zip");
    ASSERT_TRUE(a);
    int32_t file = -1;
    ArchiveEntry e;
    for (int32_t i = 0; i < CountOf(a.get()) && file < 0; ++i)
        if (GetArchiveEntry(a.get(), i, &e) == kArchiveOk && !(e.attr & FILE_ATTRIBUTE_DIRECTORY)) file = i;
    ASSERT_GE(file, 0);
    const std::string source = Source(LocalPath(e.name));
    const std::string longer(source.size() + 4096, 'x');
    auto write = [](const std::wstring& path, const std::string& bytes) {
        UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD n = 0;
        return f && WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    };

    const std::wstring plain = Out(L"plain");
    ASSERT_TRUE(write(plain, longer));
    ASSERT_TRUE(Extracted(a.get(), file, plain));
    std::string got;
    ASSERT_TRUE(ReadWholeFile(plain, &got));
    EXPECT_TRUE(got == source) << "got " << got.size() << " bytes, want " << source.size();

    // Held open without sharing (a read-only file would not do: the tests may run as root).
    const std::wstring busy = Out(L"busy");
    ASSERT_TRUE(write(busy, longer));
    UniqueFile held(CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(ExtractEntry(a.get(), file, busy.c_str()), kArchiveErrOpenFile);
    held.reset();
    ASSERT_TRUE(ReadWholeFile(busy, &got));
    EXPECT_TRUE(got == longer);
}

// ---- Attributes and times ------------------------------------------------------------------

TEST_F(ZipTest, AttributesFromExternalAttributes) {
    struct Case {
        const wchar_t* name;
        uint32_t attr;
    };
    const Case cases[] = {
        {L"windir/", 0x90},    {L"unixdir/", 0x90},   {L"readonly.txt", 0x80},
        {L"hidden.txt", 0xA2}, {L"system.txt", 0x84}, {L"unixfile.txt", 0x80},
    };
    Archive a = Open(L"attrs.zip");
    ASSERT_TRUE(a);
    ASSERT_EQ(CountOf(a.get()), 6);
    for (int32_t i = 0; i < 6; ++i) {
        ArchiveEntry e;
        ASSERT_EQ(GetArchiveEntry(a.get(), i, &e), kArchiveOk);
        EXPECT_STREQ(e.name, cases[i].name);
        EXPECT_EQ(e.attr, cases[i].attr) << i;
    }
    ASSERT_TRUE(Extracted(a.get(), 3, Out(L"hidden.txt")));
    EXPECT_NE(GetFileAttributesW(Out(L"hidden.txt").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    ASSERT_TRUE(Extracted(a.get(), 2, Out(L"readonly.txt")));
    EXPECT_EQ(GetFileAttributesW(Out(L"readonly.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST(ZipTimes, WithoutExtendedTimesAllThreeAreTheDosStamp) {
    Archive a = Open(L"noextra.zip");
    ASSERT_TRUE(a);
    ArchiveEntry e;
    ASSERT_EQ(GetArchiveEntry(a.get(), 0, &e), kArchiveOk);
    const uint64_t dos = TicksFromSystemTime(2020, 9, 13, 12, 26, 40);
    EXPECT_EQ(Ticks(e.mtime), dos);
    EXPECT_EQ(Ticks(e.atime), dos);
    EXPECT_EQ(Ticks(e.ctime), dos);
}

TEST(ZipTimes, ModificationOnlyBlockChangesOnlyMtime) {
    Archive a = Open(L"ut_mtime.zip");
    ASSERT_TRUE(a);
    ArchiveEntry e;
    ASSERT_EQ(GetArchiveEntry(a.get(), 0, &e), kArchiveOk);
    const uint64_t dos = TicksFromSystemTime(2001, 2, 3, 4, 5, 6);
    EXPECT_EQ(Ticks(e.mtime), TicksFromUnix(kMtime));
    EXPECT_EQ(Ticks(e.atime), dos);
    EXPECT_EQ(Ticks(e.ctime), dos);
}

// ---- Names ---------------------------------------------------------------------------------

TEST(ZipNames, Utf8FlaggedNameIsDecodedAsUtf8) {
    Archive a = Open(L"utf8.zip");
    ASSERT_TRUE(a);
    ArchiveEntry e;
    ASSERT_EQ(GetArchiveEntry(a.get(), 0, &e), kArchiveOk);
    EXPECT_STREQ(e.name, L"\u6570\u636e/\u6587\u4ef6\u00fc.txt");
}

TEST(ZipNames, LongNames) {
    Archive a = Open(L"longnames.zip");
    ASSERT_TRUE(a);
    ArchiveEntry e;
    ASSERT_EQ(GetArchiveEntry(a.get(), 0, &e), kArchiveOk);
    EXPECT_EQ(std::wstring(e.name), std::wstring(258, L'a'));
    // Longer names are not supported, but they must neither overrun nor come back foreign.
    for (int32_t i : {1, 2}) {
        memset(&e, 0xA5, sizeof e);
        ASSERT_EQ(GetArchiveEntry(a.get(), i, &e), kArchiveOk);
        const size_t n = wcsnlen(e.name, 260);
        ASSERT_LT(n, 260u);
        EXPECT_EQ(std::wstring(e.name), std::wstring(n, i == 1 ? L'b' : L'c'));
        EXPECT_EQ(e.uncompSize, 4);
    }
}

// Going back, a reader starts again from a header it passed: entries asked for in any order, back
// and forth across those it starts from, are the entries asked for.
TEST(ZipWalk, EntriesInAnyOrder) {
    Archive a = Open(L"many.zip");
    ASSERT_TRUE(a);
    std::vector<int32_t> order;
    for (int32_t i = 699; i >= 0; i -= 7) order.push_back(i);
    for (const int32_t i : {0, 699, 256, 255, 511, 512, 1, 600, 257}) order.push_back(i);
    for (const int32_t i : order) {
        ArchiveEntry e;
        ASSERT_EQ(GetArchiveEntry(a.get(), i, &e), kArchiveOk) << i;
        wchar_t name[16];
        std::swprintf(name, 16, L"e%03d.txt", static_cast<int>(i));
        EXPECT_STREQ(e.name, name);
        std::string data;
        ASSERT_EQ(ReadEntryToMemory(a.get(), i, &data, 100), kArchiveOk) << i;
        EXPECT_EQ(data, std::to_string(i));
    }
}

// ---- Damaged archives ----------------------------------------------------------------------

struct DamageCase {
    const wchar_t* file;
    int32_t index;
    int32_t describe;
    int32_t extract;
};

// Whatever entries come one after another, what a reader holds for whole entries stays within the
// bound: one buffer, the data first, its compressed bytes after it.
TEST_F(ZipTest, WholeEntriesStayWithinTheirBound) {
    Archive a = Open(L"whole_budget.zip");
    ASSERT_TRUE(a);
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(VerifyEntry(a.get(), i), kArchiveOk) << i;
        EXPECT_LE(WholeEntryBufferBytes(a.get()), kWholeEntryBytes) << i;
    }
    // Read whole indeed: the largest entry's data and compressed bytes.
    EXPECT_GE(WholeEntryBufferBytes(a.get()), 2000000u);
}

TEST_F(ZipTest, DamagedEntriesFailWithTheirCode) {
    const DamageCase cases[] = {
        {L"badcrc.zip", 0, kArchiveOk, kArchiveErrExtract},      // deflated, only the CRC tells
        {L"badcrc.zip", 1, kArchiveOk, kArchiveErrExtract},      // stored, only the CRC tells
        {L"baddeflate.zip", 0, kArchiveOk, kArchiveErrExtract},  // inflate reports it
        {L"shortdata.zip", 0, kArchiveOk, kArchiveErrExtract},   // deflate stream ends early
        {L"shortdata.zip", 1, kArchiveOk, kArchiveErrExtract},   // stored bytes run out
        {L"pastend.zip", 0, kArchiveOk, kArchiveErrExtract},     // reads past the end of file
        {L"pastend.zip", 1, kArchiveOk, kArchiveErrExtract},
        {L"mismatch.zip", 0, kArchiveErrCorrupt, kArchiveErrCorrupt},  // local method differs
        {L"mismatch.zip", 1, kArchiveErrCorrupt, kArchiveErrCorrupt},  // local name length differs
        {L"badlocal.zip", 0, kArchiveErrCorrupt, kArchiveErrCorrupt},  // local signature
        {L"badlocal.zip", 1, kArchiveErrCorrupt, kArchiveErrCorrupt},  // unknown method
        {L"badcentral.zip", 0, kArchiveOk, kArchiveOk},
        {L"badcentral.zip", 1, kArchiveErrCorrupt, kArchiveErrCorrupt},
        {L"badcentral.zip", 2, kArchiveErrCorrupt, kArchiveErrCorrupt},  // behind the broken one
        {L"badextra.zip", 0, kArchiveErrExtraField, kArchiveErrExtraField},
        // Deflate data a lenient decoder makes sense of, headers declaring what it makes.
        {L"deflate_288_lengths.zip", 0, kArchiveOk, kArchiveErrExtract},
        {L"deflate_32_distances.zip", 0, kArchiveOk, kArchiveErrExtract},
        {L"deflate_length_286.zip", 0, kArchiveOk, kArchiveErrExtract},
        {L"deflate_length_287.zip", 0, kArchiveOk, kArchiveErrExtract},
        {L"deflate_distance_30.zip", 0, kArchiveOk, kArchiveErrExtract},
        {L"deflate_distance_31.zip", 0, kArchiveOk, kArchiveErrExtract},
    };
    int n = 0;
    for (const auto& c : cases) {
        Archive a = Open(c.file);
        ASSERT_TRUE(a) << c.file;
        ArchiveEntry e;
        EXPECT_EQ(GetArchiveEntry(a.get(), c.index, &e), c.describe) << c.file << " " << c.index;
        EXPECT_EQ(lastArchiveError, c.describe);
        const std::wstring target = Out(std::to_wstring(n++));
        EXPECT_EQ(ExtractEntry(a.get(), c.index, target.c_str()), c.extract) << c.file << " " << c.index;
        EXPECT_EQ(lastArchiveError, c.extract);
        // An entry whose headers are bad leaves no file behind.
        if (c.describe != kArchiveOk) {
            EXPECT_FALSE(PathExists(target)) << c.file << " " << c.index;
        }
    }
}

TEST_F(ZipTest, WalkRecoversAfterABrokenHeader) {
    Archive a = Open(L"badcentral.zip");
    ASSERT_TRUE(a);
    ArchiveEntry e;
    EXPECT_EQ(GetArchiveEntry(a.get(), 2, &e), kArchiveErrCorrupt);
    ASSERT_EQ(GetArchiveEntry(a.get(), 0, &e), kArchiveOk);
    EXPECT_STREQ(e.name, L"first.txt");
    EXPECT_TRUE(Extracted(a.get(), 0, Out(L"first.txt")));
}

// ---- Targets -------------------------------------------------------------------------------

class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& dir) {
        GetCurrentDirectoryW(MAX_PATH, saved_);
        SetCurrentDirectoryW(dir.c_str());
    }
    ~CurrentDirectory() { SetCurrentDirectoryW(saved_); }

private:
    wchar_t saved_[MAX_PATH];
};

TEST_F(ZipTest, RelativeTargetFoldersAreCreatedBelowTheCurrentDirectory) {
    const std::wstring work = Out(L"work");
    CreateDirectoryW(work.c_str(), nullptr);
    CurrentDirectory cd(work);
    Archive a = Open(L"infozip.zip");
    ASSERT_TRUE(a);
    ASSERT_EQ(ExtractEntry(a.get(), 0, L"a/b/c.txt"), kArchiveOk);
    EXPECT_NE(GetFileAttributesW((work + L"\\a\\b").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    std::string got;
    ASSERT_TRUE(ReadWholeFile(work + L"\\a\\b\\c.txt", &got));
    EXPECT_TRUE(got == Source(L"hello.txt"));
    ASSERT_EQ(ExtractEntry(a.get(), 0, L"x\\y\\z.txt"), kArchiveOk);
    EXPECT_TRUE(PathExists(work + L"\\x\\y\\z.txt"));
    ASSERT_EQ(ExtractEntry(a.get(), 0, L"here.txt"), kArchiveOk);
    EXPECT_TRUE(PathExists(work + L"\\here.txt"));

    // A ".." step means no folders at all, here or beside.
    EXPECT_EQ(ExtractEntry(a.get(), 0, L"m/../n/f.txt"), kArchiveErrOpenFile);
    EXPECT_EQ(ExtractEntry(a.get(), 0, L"../up/f.txt"), kArchiveErrOpenFile);
    EXPECT_EQ(ExtractEntry(a.get(), 0, L"p\\..\\q\\f.txt"), kArchiveErrOpenFile);
    EXPECT_FALSE(PathExists(work + L"\\m"));
    EXPECT_FALSE(PathExists(work + L"\\n"));
    EXPECT_FALSE(PathExists(work + L"\\p"));
    EXPECT_FALSE(PathExists(work + L"\\q"));
    EXPECT_FALSE(PathExists(Out(L"up")));

    // Absolute targets get no folders.
    EXPECT_EQ(ExtractEntry(a.get(), 0, Out(L"abs\\f.txt").c_str()), kArchiveErrOpenFile);
    EXPECT_EQ(lastArchiveError, kArchiveErrOpenFile);
    EXPECT_FALSE(PathExists(Out(L"abs")));
}

}  // namespace

TEST(ZipMemory, EntriesReadIntoMemoryWithTheSameChecksAsExtraction) {
    Archive a = Open(L"infozip.zip");
    ASSERT_TRUE(a);
    std::string data = "stale";
    ASSERT_EQ(ReadEntryToMemory(a.get(), 2, &data, 1u << 30), kArchiveOk);  // big.dat, deflated
    EXPECT_EQ(data, Source(L"big.dat"));
    EXPECT_EQ(ReadEntryToMemory(a.get(), 5, &data, 1u << 30), kArchiveOk);  // a folder: nothing
    EXPECT_TRUE(data.empty());
    // A limit below the declared size fails before anything is read.
    EXPECT_EQ(ReadEntryToMemory(a.get(), 2, &data, 100), kArchiveErrExtract);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(ReadEntryToMemory(a.get(), -1, &data, 100), kArchiveErrArgument);

    for (const wchar_t* damaged : {L"badcrc.zip", L"baddeflate.zip", L"shortdata.zip"}) {
        Archive bad = Open(damaged);
        ASSERT_TRUE(bad);
        EXPECT_EQ(ReadEntryToMemory(bad.get(), 0, &data, 1u << 30), kArchiveErrExtract)
            << std::string(damaged, damaged + wcslen(damaged));
        EXPECT_TRUE(data.empty());
    }
}
