#pragma once
// What can be known of the payload before an earlier installation is touched.

#include <string>

// Reads the whole payload as the extraction will, writing nothing: every entry described, its name
// checked, its folder there by the time it comes (one level per entry, as the extraction makes
// them), its data inflated and CRC-checked. False at the first entry the extraction would fail on,
// with what is wrong in *problem.
bool PayloadIsWhole(const std::wstring& payloadPath, const std::wstring& installPath, std::wstring* problem);
