#include "base/HeldCopy.h"

#include <vector>

#include "base/Log.h"
#include "base/ReleasePins.h"
#include "base/Sha256.h"

namespace {

constexpr DWORD kChunkBytes = 64 * 1024;

bool Rewind(HANDLE file) {
    LARGE_INTEGER start = {};
    return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
}

// Writes the source's bytes into `out`; the digest of what was read.
bool CopyBytes(HANDLE source, HANDLE out, Sha256Digest* digest, const std::wstring& path) {
    if (!Rewind(source)) {
        LogCallFailed("SetFilePointerEx", path, ::GetLastError());
        return false;
    }
    Sha256 hash;
    std::vector<char> chunk(kChunkBytes);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(source, chunk.data(), kChunkBytes, &got, nullptr)) {
            LogCallFailed("ReadFile", path, ::GetLastError());
            return false;
        }
        if (got == 0) break;
        hash.Update(chunk.data(), got);
        DWORD written = 0;
        if (!::WriteFile(out, chunk.data(), got, &written, nullptr) || written != got) {
            LogCallFailed("WriteFile", path, written != got ? ERROR_HANDLE_DISK_FULL : ::GetLastError());
            return false;
        }
    }
    hash.Finish(digest);
    return true;
}

// A handle for reading on the file `current` is open on, opened by path while `current` is still
// open: the path cannot lead elsewhere meanwhile, as `current` shares no deletion.
UniqueFile ReopenForReading(HANDLE current, const std::wstring& path, DWORD share) {
    UniqueFile next(
        ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!next) {
        LogCallFailed("CreateFileW", path, ::GetLastError());
        return next;
    }
    if (!SameFile(current, next.get())) {
        LogCallFailed("GetFileInformationByHandle", path, ERROR_FILE_INVALID);
        next.reset();
    }
    return next;
}

}  // namespace

bool CopyToHeldFile(HANDLE source, const std::wstring& path, UniqueFile* held, Sha256Digest* digest) {
    held->reset();
    // Written sharing reading only, so nobody else writes while we do.
    UniqueFile writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!writer) {
        LogCallFailed("CreateFileW", path, ::GetLastError());
        return false;
    }
    Sha256Digest written = {}, readBack = {};
    bool ok = CopyBytes(source, writer.get(), &written, path);
    // A program cannot start while a handle that writes to it is open. From writing to reading
    // only, without a moment where no handle of ours is open on it: a handle that shares writing
    // (the writer's) bridges to one that shares reading only.
    UniqueFile bridge;
    if (ok) ok = (bridge = ReopenForReading(writer.get(), path, FILE_SHARE_READ | FILE_SHARE_WRITE)).valid();
    writer.reset();
    UniqueFile reader;
    if (ok) ok = (reader = ReopenForReading(bridge.get(), path, FILE_SHARE_READ)).valid();
    bridge.reset();
    if (ok) {
        ok = Rewind(reader.get()) && HashRest(reader.get(), &readBack) && readBack == written;
        if (!ok) LogCallFailed("ReadFile", path, ERROR_FILE_INVALID);
    }
    if (ok) {
        *held = std::move(reader);
        if (digest != nullptr) *digest = readBack;
        return true;
    }
    reader.reset();
    if (!::DeleteFileW(path.c_str())) LogCallFailed("DeleteFileW", path, ::GetLastError());
    return false;
}
