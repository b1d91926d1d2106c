#pragma once
// Whether the payload fits on the install folder's drive, decided before an earlier installation
// is removed: a drive too small must leave that installation usable.

#include <cstdint>
#include <string>

#include "archive/PayloadCheck.h"

// Free bytes this user may write on the drive of `folder` (or of its nearest existing parent),
// and that drive's cluster size. False, with the failing call logged, when the drive cannot say.
bool DriveSpace(const std::wstring& folder, uint64_t* freeBytes, uint64_t* clusterBytes);

// What the files below `folder` take, each rounded up to a whole cluster; 0 when it does not
// exist. Links to other folders are not followed: deleting them frees nothing behind them.
uint64_t FilesSize(const std::wstring& folder, uint64_t clusterBytes);

// Where the new version has room, decided before anything is written.
enum class PayloadRoom {
    kBeside,   // in the free space alone: the earlier installation can stay until the new one is whole
    kInPlace,  // only in what removing the earlier installation first frees
    kNone,     // not even then
};

// Walks the payload (PayloadCheck::Walk, in the drive's clusters: each file's size rounded up to a
// whole cluster, folders taking nothing) and compares it with the free space and with what the
// cleanup of an earlier installation frees on that drive (the whole folder when it is the product's
// own); the figures go to the log when the payload does not fit beside it. A payload or drive that
// cannot be read is left to the check and the extraction (kBeside).
PayloadRoom RoomForPayload(const std::wstring& installPath, PayloadCheck* payload);
