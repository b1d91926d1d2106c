#pragma once
// The block of machine and installer facts every statistics report carries: a run of JSON
// members without braces, built once per process and kept in the record's commonFields.

#include <string>

#include "stats/InstallerInfo.h"

// The record's commonFields, built first when empty: os, resolution, mem, ostype, time, ver,
// build, ch, engines, vt, opengles, pcname, cpu, mac, uuid. Later calls return the same text,
// whatever changed in the record or the machine since.
std::wstring BuildCommonFields(InstallerInfo& info);

// Text made safe inside a JSON string: '"', '\' and U+0000..U+001F escaped; all else as it is.
std::wstring JsonEscape(const std::wstring& text);

// Installed memory in whole GiB plus one ("1" when the query gives nothing).
std::wstring GetMemoryText();
// Primary screen "width*height".
std::wstring GetResolutionText();
// Local time "yyyy-mm-dd hh:mm:ss" (the year padded with blanks to four places).
std::wstring GetLocalTimeText();
// The computer's name, or "UNKNOW".
std::wstring GetComputerNameText();
// The processor's brand string as CPUID gives it (untrimmed); empty without extended leaves.
std::wstring GetCpuBrandText();
