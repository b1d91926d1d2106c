// Writes the tree an archive holds, with zeros for data and nothing read or inflated: what any
// Windows program pays to create these files, one after another, on this system. The unzip
// task is measured against it to tell its own cost from the platform's.
//
//   create_floor <archive> <target-folder>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchArchive.h"
#include "archive/ZipReader.h"

namespace {

struct Item {
    std::wstring path;
    uint64_t size;
    bool folder;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: create_floor <archive> <target-folder>\n");
        return 2;
    }
    int32_t count = 0;
    ArchiveHandle* archive = OpenBenchArchive(argv[1], &count);
    if (!archive) return 1;
    ArchiveEntry entry;
    std::vector<Item> items;
    for (int32_t i = 0; i < count; ++i) {
        if (GetArchiveEntry(archive, i, &entry) != kArchiveOk) return 1;
        Item item{std::wstring(argv[2]) + L"\\" + entry.name, static_cast<uint32_t>(entry.uncompSize),
                  (entry.attr & FILE_ATTRIBUTE_DIRECTORY) != 0};
        for (auto& c : item.path)
            if (c == L'/') c = L'\\';
        items.push_back(std::move(item));
    }
    CloseArchive(archive);

    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    CreateDirectoryW(argv[2], nullptr);
    std::vector<char> zeros(1 << 20);
    int failures = 0;
    std::wstring made = argv[2];
    for (const Item& item : items) {
        if (item.folder) {
            CreateDirectoryW(item.path.c_str(), nullptr);
            continue;
        }
        // Folders the archive does not list are made on the way, as the task makes them.
        const size_t slash = item.path.rfind(L'\\');
        if (item.path.compare(0, slash, made) != 0 || made.size() != slash) {
            made = item.path.substr(0, slash);
            for (size_t at = std::wstring(argv[2]).size(); at != std::wstring::npos;
                 at = made.find(L'\\', at + 1))
                CreateDirectoryW(made.substr(0, at).c_str(), nullptr);
            CreateDirectoryW(made.c_str(), nullptr);
        }
        HANDLE file = CreateFileW(item.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            ++failures;
            continue;
        }
        for (uint64_t left = item.size; left > 0;) {
            const DWORD piece = static_cast<DWORD>(left < zeros.size() ? left : zeros.size());
            DWORD wrote = 0;
            if (!WriteFile(file, zeros.data(), piece, &wrote, nullptr) || wrote != piece) {
                ++failures;
                break;
            }
            left -= piece;
        }
        CloseHandle(file);
    }
    QueryPerformanceCounter(&end);
    printf("entries=%u\nfailures=%d\nseconds=%.3f\n", static_cast<unsigned>(items.size()), failures,
           double(end.QuadPart - start.QuadPart) / double(freq.QuadPart));
    return failures == 0 ? 0 : 1;
}
