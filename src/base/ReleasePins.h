#pragma once
// The release's files beside the program (the payload, the skin, the settings) are pinned by their
// SHA-256 in the program's own resource, which the release's signature covers: a file anyone could
// have replaced in a downloads folder is used only if it is the very file that was shipped.

#include <windows.h>

#include <string>

#include "base/Owners.h"

// The files a release pins, by name beside the program.
constexpr wchar_t kPinnedPayload[] = L"platform.zip";
constexpr wchar_t kPinnedSkin[] = L"res.zip";
constexpr wchar_t kPinnedSettings[] = L"installer.ini";

// The resource that holds the pins: a block of fixed size in every build, filled in by the release
// tooling (tools/dist/pin-release.py) before the program is signed. Left as built, it pins nothing.
constexpr char kPinsResourceName[] = "VEXO_PINS";
constexpr char kPinsFilledHeader[] = "VEXO-PINS 1\n";  // then "<name>=<sha256 hex>\n" lines

// What `fileName` must hash to (lower-case hex): empty when this program pins nothing; a text no
// digest matches when it pins the others but not this one.
std::string PinRequiredFor(const wchar_t* fileName);

enum class PinCheck {
    NotPinned,   // this build pins nothing: the file is used as it is
    Matches,     // the held file is the shipped one
    Differs,     // another file, or none: not to be used
};

// Opens `path` for reading and holds it against writing, renaming and deletion until the handle
// is closed (sharing read only), so what was checked is what is used. Empty when it cannot.
UniqueFile HoldForReading(const std::wstring& path);
// True when both handles are on the same file (volume and file index), so a file opened again by
// its path is known to be the held one.
bool SameFile(HANDLE a, HANDLE b);
// Compares the held file, read from its file pointer (its start when just opened) to its end, with
// `pin` (PinRequiredFor); *found gets its digest, or what went wrong. An empty pin is NotPinned.
PinCheck CheckAgainst(HANDLE held, const std::string& pin, std::string* found);
