#include "archive/DiskSpace.h"

#include <windows.h>

#include <vector>

#include "archive/FilesBelow.h"
#include "archive/FolderRemoval.h"
#include "archive/ZipReader.h"
#include "base/Log.h"
#include "base/Owners.h"

namespace {

uint64_t RoundUpToCluster(uint64_t size, uint64_t cluster) {
    if (cluster == 0) return size;
    return (size + cluster - 1) / cluster * cluster;
}

std::wstring WithoutTrailingSlashes(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

// The install folder exists by the time the task runs; should it not, the folder the
// extraction would create it in is on the same drive.
std::wstring NearestExistingFolder(std::wstring path) {
    path = WithoutTrailingSlashes(path);
    while (!path.empty()) {
        // "C:" alone names the drive's current folder, not its root.
        if (path.size() == 2 && path[1] == L':') path.push_back(L'\\');
        const DWORD attr = ::GetFileAttributesW(path.c_str());
        if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) return path;
        const size_t slash = path.find_last_of(L"\\/");
        if (slash == std::wstring::npos) return {};
        // The root's own slash ends the walk: there is no parent above it.
        if (slash + 1 == path.size()) return {};
        path.erase(slash);
    }
    return {};
}

}  // namespace

bool DriveSpace(const std::wstring& folder, uint64_t* freeBytes, uint64_t* clusterBytes) {
    const std::wstring existing = NearestExistingFolder(folder);
    if (existing.empty()) {
        LogCallFailed("GetFileAttributesW", folder, ERROR_PATH_NOT_FOUND);
        return false;
    }
    ULARGE_INTEGER available = {};
    if (!::GetDiskFreeSpaceExW(existing.c_str(), &available, nullptr, nullptr)) {
        LogCallFailed("GetDiskFreeSpaceExW", existing, ::GetLastError());
        return false;
    }
    wchar_t root[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(existing.c_str(), root, MAX_PATH + 1)) {
        LogCallFailed("GetVolumePathNameW", existing, ::GetLastError());
        return false;
    }
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!::GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
        LogCallFailed("GetDiskFreeSpaceW", root, ::GetLastError());
        return false;
    }
    *freeBytes = available.QuadPart;
    *clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    return true;
}

uint64_t FilesSize(const std::wstring& folder, uint64_t clusterBytes) {
    // A folder that cannot be listed is counted as freeing nothing: the cleanup may not get into it
    // either.
    uint64_t total = 0;
    (void)VisitFilesBelow(WithoutTrailingSlashes(folder), [&](const std::wstring&, const WIN32_FIND_DATAW& found) {
        total += RoundUpToCluster((static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow, clusterBytes);
        return true;
    });
    return total;
}

PayloadRoom RoomForPayload(const std::wstring& installPath, PayloadCheck* payload) {
    uint64_t freeBytes = 0, cluster = 0;
    const bool known = DriveSpace(installPath, &freeBytes, &cluster);
    payload->Walk(known ? cluster : 1);
    if (!known || !payload->Sized()) return PayloadRoom::kBeside;
    const uint64_t needed = payload->NeededBytes();
    if (needed <= freeBytes) return PayloadRoom::kBeside;
    // Only a product folder goes whole; in any other folder the cleanup's share is left out.
    const uint64_t freed = IsProductFolder(installPath) ? FilesSize(installPath, cluster) : 0;
    const bool inPlace = needed <= freeBytes + freed;
    LogFormatW(g_log,
               inPlace ? L"not enough disk space for %s beside the earlier installation: %s bytes needed, %s free and "
                         L"%s held by the earlier installation; it is removed first"
                       : L"not enough disk space for %s: %s bytes needed, %s free and %s held by the earlier installation",
               installPath.c_str(), std::to_wstring(needed).c_str(), std::to_wstring(freeBytes).c_str(),
               std::to_wstring(freed).c_str());
    return inPlace ? PayloadRoom::kInPlace : PayloadRoom::kNone;
}
