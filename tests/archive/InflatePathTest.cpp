// Every archive of the reader's fixtures and of the hostile-name fixtures (deflate data only a
// lenient decoder takes among them) gives the same codes, extracted and verified, the same tree and
// the same check verdict whichever way its data is read: streamed in blocks (as before), read
// whole, checked on several threads, or written into a file created beforehand by another thread
// with a reader of its own.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ArchiveTestUtil.h"
#include "archive/InflatePath.h"
#include "archive/PayloadCheck.h"
#include "archive/FileCloser.h"
#include "archive/FileFiller.h"
#include "archive/ZipReader.h"

namespace {

struct Way {
    const char* name;
    InflatePath path;
    unsigned checkThreads;
    bool filledApart;
};

// The first row is the reference. Three check threads share batches even on one core.
const Way kWays[] = {
    {"streamed, one check thread", InflatePath::kStreaming, 1, false},
    {"every entry whole", InflatePath::kWhole, 1, false},
    {"chosen, three check threads", InflatePath::kChosen, 3, false},
    {"chosen, filled apart", InflatePath::kChosen, 1, true},
};

struct Outcome {
    std::string codes;  // open, then one per entry
    std::string verified;  // one per entry
    Listing tree;
    std::string check;
};

std::vector<std::wstring> Archives(const std::wstring& folder) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data = {};
    const HANDLE find = ::FindFirstFileW((folder + L"\\*.zip").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return found;
    do found.push_back(folder + L"\\" + data.cFileName);
    while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return found;
}

// Each entry into a file named by its index: the names are the check's business here.
Outcome Read(const std::wstring& archivePath, const Way& way) {
    ForceInflatePath(way.path);
    ForceCheckThreads(way.checkThreads);
    Outcome outcome;
    std::vector<int32_t> codes;
    const std::wstring out = FreshScratch(L"inflate-out");
    const UniqueArchive archive(OpenArchive(archivePath.c_str()));
    outcome.codes = std::to_string(lastArchiveError);
    if (archive) {
        ArchiveEntry entry = {};
        const int32_t count = GetArchiveEntry(archive.get(), -1, &entry) == kArchiveOk ? entry.index : 0;
        FileCloser closer(0, {});
        for (int32_t i = 0; i < count; ++i) outcome.verified += " " + std::to_string(VerifyEntry(archive.get(), i));
        for (int32_t i = 0; i < count; ++i) {
            UniqueFile file;
            const std::wstring target = out + L"\\" + std::to_wstring(i);
            int32_t code = kArchiveOk;
            if (way.filledApart) {
                // A filler of its own for each entry: one stops filling at its first failure.
                FileFiller filler(archivePath, nullptr, &closer);
                EXPECT_TRUE(filler.Started());
                code = CreateEntryTarget(archive.get(), i, target.c_str(), &file);
                if (file) filler.Fill(i, std::move(file));
                if (code == kArchiveOk) code = filler.Finish();
            } else {
                code = ExtractEntry(archive.get(), i, target.c_str());
            }
            outcome.codes += " " + std::to_string(code);
            codes.push_back(code);
        }
    }
    List(out, L"", &outcome.tree);
    // A file whose entry failed keeps the time it was written at, which differs from run to run.
    for (auto& [path, seen] : outcome.tree) {
        const size_t index = std::stoul(path.substr(out.size() + 1));
        if (index >= codes.size() || codes[index] != kArchiveOk) seen.written = 0;
    }
    std::wstring problem;
    const bool whole = PayloadIsWhole(archivePath, FreshScratch(L"inflate-install"), &problem);
    outcome.check = (whole ? "whole " : "refused ") + Utf8(problem);
    ForceInflatePath(InflatePath::kChosen);
    ForceCheckThreads(0);
    return outcome;
}

TEST(InflatePaths, EveryWayGivesTheSameOutcome) {
    std::vector<std::wstring> archives = Archives(WinPathFromEnv(L"VEXO_ZIPDATA"));
    for (const std::wstring& hostile : Archives(WinPathFromEnv(L"VEXO_UNZIPDATA"))) archives.push_back(hostile);
    ASSERT_GT(archives.size(), 40u);
    for (const std::wstring& archivePath : archives) {
        const Outcome reference = Read(archivePath, kWays[0]);
        for (size_t k = 1; k < sizeof kWays / sizeof kWays[0]; ++k) {
            const Outcome other = Read(archivePath, kWays[k]);
            EXPECT_EQ(reference.codes, other.codes) << Utf8(archivePath) << ", " << kWays[k].name;
            EXPECT_EQ(reference.verified, other.verified) << Utf8(archivePath) << ", " << kWays[k].name;
            EXPECT_EQ("", Difference(reference.tree, other.tree)) << Utf8(archivePath) << ", " << kWays[k].name;
            EXPECT_EQ(reference.check, other.check) << Utf8(archivePath) << ", " << kWays[k].name;
        }
    }
}

}  // namespace
