// Archive file access and the search for the end-of-central-directory record.

#include <algorithm>

#include "archive/ZipArchiveState.h"

bool ArchiveFileSize(ArchiveFile& file, uint64_t* size) noexcept {
    LARGE_INTEGER li;
    if (!GetFileSizeEx(file.handle.get(), &li)) return false;
    *size = static_cast<uint64_t>(li.QuadPart);
    return true;
}

int64_t ReadArchiveSome(ArchiveFile& file, uint64_t pos, void* buffer, uint32_t size) noexcept {
    if (file.position != pos) {
        LARGE_INTEGER li;
        li.QuadPart = static_cast<LONGLONG>(pos);
        if (!SetFilePointerEx(file.handle.get(), li, nullptr, FILE_BEGIN)) return -1;
        file.position = pos;
    }
    DWORD got = 0;
    if (!ReadFile(file.handle.get(), buffer, size, &got, nullptr)) {
        // The file pointer is unknown now: force a seek next time.
        file.position = ~uint64_t{0};
        return -1;
    }
    file.position += got;
    return got;
}

bool ReadArchiveAt(ArchiveFile& file, uint64_t pos, void* buffer, uint32_t size) noexcept {
    return ReadArchiveSome(file, pos, buffer, size) == static_cast<int64_t>(size);
}

bool FindEndRecord(ArchiveFile& file, uint64_t* position) noexcept {
    constexpr uint32_t kStep = 1024;
    constexpr uint32_t kWindow = kStep + 4;
    if (!file.canSeek) return false;

    uint64_t size = 0;
    if (!ArchiveFileSize(file, &size)) return false;
    const uint64_t maxBack = std::min<uint64_t>(0xFFFF, size);

    uint8_t window[kWindow];
    uint64_t backRead = 4;
    while (backRead < maxBack) {
        backRead = std::min<uint64_t>(backRead + kStep, maxBack);
        const uint64_t readPos = size - backRead;
        const uint32_t readSize = static_cast<uint32_t>(std::min<uint64_t>(kWindow, size - readPos));
        if (!ReadArchiveAt(file, readPos, window, readSize)) return false;
        // Nearest the end first: a signature inside an earlier entry's data must not win.
        for (uint32_t i = readSize - 3; i-- > 0;) {
            if (window[i] == 0x50 && window[i + 1] == 0x4B && window[i + 2] == 0x05 && window[i + 3] == 0x06) {
                *position = readPos + i;
                // A record at byte 0 means no entries at all; such an archive is not opened.
                return *position != 0;
            }
        }
    }
    return false;
}
