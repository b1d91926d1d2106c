#pragma once
// A copy of a file made to be run with administrator rights: written into a new file and held from
// its first byte to its start, so the file that runs is the file that was written.

#include <windows.h>

#include <string>

#include "base/Owners.h"
#include "base/Sha256.h"

// Copies what `source` holds, from its start to its end, into a new file at `path` (a name that
// exists is never taken over) and leaves it in `held`: open for reading, shared for reading only,
// so nobody can write, rename or delete it while it is held. Some handle of ours is open on the
// new file from its creation on, each on the same file as the one before, and what is held is
// read back and compared with what was read; that digest in *digest, when asked for. False, logged,
// with nothing left at `path`.
bool CopyToHeldFile(HANDLE source, const std::wstring& path, UniqueFile* held, Sha256Digest* digest = nullptr);
