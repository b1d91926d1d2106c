#pragma once
// What can be known of the payload before an earlier installation is touched.

#include <windows.h>

#include <string>

// Reads the whole payload as the extraction will, writing nothing: every entry described, its name
// checked, its folder there by the time it comes (one level per entry, as the extraction makes
// them), its data inflated and CRC-checked; no name used both as a file and as a folder on another
// entry's way (as Windows compares names), and no junction or symbolic link there now on an entry's
// way, from the install folder itself down. False at the first entry the extraction would fail on,
// or that would write through a link, with what is wrong in *problem. With heldPayload, what is
// read must be that held file.
bool PayloadIsWhole(const std::wstring& payloadPath, const std::wstring& installPath, std::wstring* problem,
                    HANDLE heldPayload = nullptr);
