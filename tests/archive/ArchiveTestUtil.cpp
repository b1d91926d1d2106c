#include "ArchiveTestUtil.h"

#include "base/Owners.h"

std::wstring ZipData(const std::wstring& name) { return WinPathFromEnv(L"VEXO_ZIPDATA") + L"\\" + name; }

uint64_t Ticks(const FILETIME& ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }

uint64_t TicksFromUnix(int64_t seconds) { return static_cast<uint64_t>((seconds + 11644473600LL) * 10000000LL); }

namespace {

void Put16(std::string* out, size_t value) {
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>((value >> 8) & 0xFF));
}
void Put32(std::string* out, size_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, (value >> 16) & 0xFFFF);
}

uint32_t Crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (const unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

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

std::string StoredZip(const std::vector<std::string>& names) {
    std::string local, central;
    for (const std::string& name : names) {
        const bool folder = name.back() == '/';
        const std::string data = folder ? "" : name;
        // Version needed, UTF-8 name flag, stored, 1980-01-01, CRC, sizes, name length.
        std::string shared;
        for (size_t field : {20, 0x0800, 0, 0, 0x21}) Put16(&shared, field);
        for (size_t field : {size_t{Crc32(data)}, data.size(), data.size()}) Put32(&shared, field);
        Put16(&shared, name.size());
        Put32(&central, 0x02014B50);
        Put16(&central, 20);
        central += shared;
        for (int field = 0; field < 4; ++field) Put16(&central, 0);  // extra, comment, disk, internal
        Put32(&central, folder ? FILE_ATTRIBUTE_DIRECTORY : 0);
        Put32(&central, local.size());
        central += name;
        Put32(&local, 0x04034B50);
        local += shared;
        Put16(&local, 0);
        local += name + data;
    }
    std::string end;
    Put32(&end, 0x06054B50);
    for (size_t field : {size_t{0}, size_t{0}, names.size(), names.size()}) Put16(&end, field);
    Put32(&end, central.size());
    Put32(&end, local.size());
    Put16(&end, 0);
    return local + central + end;
}
