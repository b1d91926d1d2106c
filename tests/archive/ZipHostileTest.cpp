// Runs the reader over thousands of damaged archives derived from the fixture's sound ones:
// every call must return a known code, nothing may land outside the scratch folder, and the
// process must stay small.

#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ArchiveTestUtil.h"
#include "base/Owners.h"
#include "archive/ZipReader.h"

namespace {

constexpr uint64_t kSeed = 0x5EED2024u;
constexpr int kRounds = 6000;
constexpr size_t kMemoryLimit = 64u << 20;

// splitmix64: fixed sequence on every compiler, unlike the standard distributions.
struct Rng {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(Next() % n); }
};

using Bytes = std::vector<uint8_t>;

bool LoadFile(const std::wstring& path, Bytes* out) {
    std::string data;
    if (!ReadWholeFile(path, &data)) return false;
    out->assign(data.begin(), data.end());
    return true;
}

bool SaveFile(const std::wstring& path, const Bytes& data) {
    UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD written = 0;
    return data.empty() || (WriteFile(f.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                            written == data.size());
}

// Offsets of header signatures: the fields behind them are where damage hurts most.
std::vector<size_t> Signatures(const Bytes& b) {
    std::vector<size_t> out;
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (b[i] == 'P' && b[i + 1] == 'K' && b[i + 2] < 8 && b[i + 3] < 9 && b[i + 2] + 1 == b[i + 3])
            out.push_back(i);
    return out;
}

uint32_t InterestingValue(Rng& rng) {
    static const uint32_t values[] = {0,          1,          2,          0x7F,       0x80,    0xFF,
                                      0x100,      0x7FFF,     0x8000,     0xFFFF,     0x10000, 0x7FFFFFFF,
                                      0x80000000, 0xFFFFFFFF, 0xFFFFFFFE, 0x40000000, 16384,   16385};
    if (rng.Below(4) == 0) return static_cast<uint32_t>(rng.Next());
    return values[rng.Below(sizeof values / sizeof values[0])];
}

Bytes Mutate(const std::vector<Bytes>& seeds, Rng& rng) {
    Bytes b = seeds[rng.Below(seeds.size())];
    const int steps = 1 + static_cast<int>(rng.Below(3));
    for (int s = 0; s < steps && !b.empty(); ++s) {
        switch (rng.Below(5)) {
        case 0: {  // bit flips
            const size_t flips = 1 + rng.Below(8);
            for (size_t k = 0; k < flips; ++k) b[rng.Below(b.size())] ^= static_cast<uint8_t>(1u << rng.Below(8));
            break;
        }
        case 1:  // truncation
            b.resize(rng.Below(b.size() + 1));
            break;
        case 2:
        case 3: {  // a header field set to an awkward value
            const std::vector<size_t> sigs = Signatures(b);
            if (sigs.empty()) break;
            const size_t at = sigs[rng.Below(sigs.size())] + 4 + rng.Below(42);
            const size_t width = size_t{1} << rng.Below(3);
            const uint32_t v = InterestingValue(rng);
            for (size_t k = 0; k < width && at + k < b.size(); ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
            break;
        }
        default: {  // splice two archives
            const Bytes& other = seeds[rng.Below(seeds.size())];
            const size_t cut = rng.Below(b.size() + 1);
            const size_t from = rng.Below(other.size() + 1);
            b.resize(cut);
            b.insert(b.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
            break;
        }
        }
    }
    return b;
}

bool KnownCode(int32_t code) {
    static const std::set<int32_t> codes = {
        kArchiveOk,          kArchiveErrOpenFile,  kArchiveErrExtract,     kArchiveErrCorrupt, kArchiveErrExtraField,
        kArchiveErrArgument, kArchiveErrNotReader, kArchiveErrAlreadyOpen, kArchiveErrIo,      kArchiveErrBadEndRecord};
    return codes.count(code) != 0;
}

// The caller's part: only plain relative names become targets, anything else a numbered file.
std::wstring TargetFor(const ArchiveEntry& e, int32_t index) {
    const std::wstring name = e.name;
    bool safe = !name.empty() && name.size() < 120 && name[0] != L'/' && name.find(L"..") == std::wstring::npos;
    for (wchar_t c : name)
        safe = safe && ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
                        c == L'_' || c == L'-' || c == L'/');
    return safe ? name : L"entry" + std::to_wstring(index) + L".bin";
}

// Everything below a folder, name -> size, skipping one subfolder.
void Snapshot(const std::wstring& dir, const std::wstring& skip, std::map<std::wstring, uint64_t>* out) {
    WIN32_FIND_DATAW fd;
    UniqueFind find(FindFirstFileW((dir + L"\\*").c_str(), &fd));
    if (!find) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = dir + L"\\" + name;
        if (path == skip) {
            (*out)[path] = ~uint64_t{0};
            continue;
        }
        (*out)[path] = (uint64_t{fd.nFileSizeHigh} << 32) | fd.nFileSizeLow;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Snapshot(path, skip, out);
    } while (FindNextFileW(find.get(), &fd));
}

// psapi is loaded at run time: its entry point moved between Windows versions.
bool PeakMemory(SIZE_T* workingSet, SIZE_T* pagefile) {
    using Fn = BOOL(WINAPI*)(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD);
    HMODULE psapi = LoadLibraryW(L"psapi.dll");
    if (!psapi) return false;
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(psapi, "GetProcessMemoryInfo")));
    PROCESS_MEMORY_COUNTERS mc = {};
    mc.cb = sizeof mc;
    const bool ok = fn && fn(GetCurrentProcess(), &mc, sizeof mc);
    FreeLibrary(psapi);
    *workingSet = mc.PeakWorkingSetSize;
    *pagefile = mc.PeakPagefileUsage;
    return ok;
}

TEST(ZipHostile, MutatedArchivesFailCleanly) {
    const char* seedNames[] = {"fuzz_infozip.zip", "fuzz_pipe.zip", "fuzz_sfx.zip",  "attrs.zip",
                               "ut_mtime.zip",     "utf8.zip",      "longnames.zip", "badcentral.zip",
                               "comment_max.zip",  "shortdata.zip"};
    std::vector<Bytes> seeds;
    for (const char* n : seedNames) {
        Bytes b;
        ASSERT_TRUE(LoadFile(ZipData(std::wstring(n, n + strlen(n))), &b)) << n;
        seeds.push_back(std::move(b));
    }

    const std::wstring root = FreshScratch(L"hostile");
    const std::wstring input = root + L"\\in";
    const std::wstring box = root + L"\\box";
    const std::wstring out = box + L"\\out";
    CreateDirectoryW(input.c_str(), nullptr);
    CreateDirectoryW(box.c_str(), nullptr);
    CreateDirectoryW(out.c_str(), nullptr);
    ASSERT_TRUE(SaveFile(box + L"\\sentinel.txt", Bytes{'k', 'e', 'e', 'p'}));
    std::map<std::wstring, uint64_t> before, after;
    Snapshot(root, out, &before);

    wchar_t savedDir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, savedDir);
    ASSERT_TRUE(SetCurrentDirectoryW(out.c_str()));

    Rng rng{kSeed};
    const std::wstring archivePath = input + L"\\in.zip";
    int opened = 0, extracted = 0, calls = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Bytes mutated = Mutate(seeds, rng);
        ASSERT_TRUE(SaveFile(archivePath, mutated));
        ArchiveHandle* h = OpenArchive(archivePath.c_str());
        ASSERT_TRUE(KnownCode(lastArchiveError)) << "round " << round << " open " << lastArchiveError;
        if (!h) continue;
        ++opened;
        ArchiveEntry e;
        ASSERT_EQ(GetArchiveEntry(h, -1, &e), kArchiveOk) << "round " << round;
        const int32_t count = e.index;
        ASSERT_TRUE(count >= 0 && count <= 0xFFFF);
        for (int32_t i = 0; i < count && i < 64; ++i) {
            int32_t r = GetArchiveEntry(h, i, &e);
            ++calls;
            ASSERT_TRUE(KnownCode(r)) << "round " << round << " entry " << i << " code " << r;
            ASSERT_EQ(r, lastArchiveError);
            const std::wstring target = r == kArchiveOk ? TargetFor(e, i) : L"entry" + std::to_wstring(i) + L".bin";
            r = ExtractEntry(h, i, target.c_str());
            ++calls;
            ASSERT_TRUE(KnownCode(r)) << "round " << round << " extract " << i << " code " << r;
            ASSERT_EQ(r, lastArchiveError);
            if (r == kArchiveOk) ++extracted;
        }
        // Backwards and out of range, to walk the directory from the start again.
        for (int32_t i : {count - 1, count / 2, 0, count, -2}) {
            const int32_t r = GetArchiveEntry(h, i, &e);
            ++calls;
            ASSERT_TRUE(KnownCode(r)) << "round " << round << " revisit " << i << " code " << r;
        }
        ASSERT_EQ(CloseArchive(h), kArchiveOk);
        if (round % 100 == 99) {
            RemoveTree(out);
            CreateDirectoryW(out.c_str(), nullptr);
        }
    }
    SetCurrentDirectoryW(savedDir);

    Snapshot(root, out, &after);
    after.erase(archivePath);
    before.erase(archivePath);
    EXPECT_EQ(before, after) << "something was written outside the extraction folder";
    std::string sentinel;
    ASSERT_TRUE(ReadWholeFile(box + L"\\sentinel.txt", &sentinel));
    EXPECT_EQ(sentinel, "keep");

    // The mutations must reach the interesting code, not only fail to open.
    EXPECT_GT(opened, kRounds / 4);
    EXPECT_GT(extracted, kRounds / 4);

    SIZE_T workingSet = 0, pagefile = 0;
    ASSERT_TRUE(PeakMemory(&workingSet, &pagefile));
    printf("rounds %d, opened %d, extracted %d, calls %d, peak working set %u KiB, peak pagefile %u KiB\n", kRounds,
           opened, extracted, calls, static_cast<unsigned>(workingSet >> 10), static_cast<unsigned>(pagefile >> 10));
    EXPECT_LT(workingSet, kMemoryLimit);
    EXPECT_LT(pagefile, kMemoryLimit);
    RemoveTree(root);
}

}  // namespace
