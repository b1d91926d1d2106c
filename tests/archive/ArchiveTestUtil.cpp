#include "ArchiveTestUtil.h"

#include "base/Owners.h"

std::wstring ZipData(const std::wstring& name) { return WinPathFromEnv(L"VEXO_ZIPDATA") + L"\\" + name; }

uint64_t Ticks(const FILETIME& ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }

uint64_t TicksFromUnix(int64_t seconds) { return static_cast<uint64_t>((seconds + 11644473600LL) * 10000000LL); }

namespace {

uint64_t Digest(const std::string& data) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (const unsigned char c : data) hash = (hash ^ c) * 0x100000001B3ull;
    return hash;
}

}  // namespace

void List(const std::wstring& folder, const std::wstring& skip, Listing* listing, bool read) {
    WIN32_FIND_DATAW found;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        const std::wstring path = folder + L"\\" + name;
        if (name == L"." || name == L".." || path == skip) continue;
        Seen seen = {found.dwFileAttributes, (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
                     (uint64_t{found.ftLastWriteTime.dwHighDateTime} << 32) | found.ftLastWriteTime.dwLowDateTime, 0};
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            List(path, skip, listing, read);
        } else if (read) {
            std::string data;
            seen.digest = ReadWholeFile(path, &data) ? Digest(data) : 1;
        }
        (*listing)[path] = seen;
    } while (::FindNextFileW(find.get(), &found));
}

std::string Difference(const Listing& before, const Listing& after) {
    for (const auto& [path, seen] : before) {
        const auto now = after.find(path);
        if (now == after.end()) return "gone: " + Utf8(path);
        if (!(now->second == seen)) return "changed: " + Utf8(path);
    }
    for (const auto& [path, seen] : after)
        if (before.count(path) == 0) return "new: " + Utf8(path);
    return {};
}
