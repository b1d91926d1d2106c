#pragma once

#include <string>

// Folder of the running executable, without a trailing backslash (empty when unknown).
std::wstring ModuleDirectory();
