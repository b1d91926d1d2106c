#pragma once
// The digests this build pins downloads to (its build option VEXO_PINNED_DOWNLOADS).

#include <string>

// The SHA-256 pinned for the download called `name` ("sp2", an installer's name), lower-case hex;
// empty when this build pins none for it.
std::string PinnedDigest(const std::wstring& name);
