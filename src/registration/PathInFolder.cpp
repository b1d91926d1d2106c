#include "registration/PathInFolder.h"

#include <windows.h>

namespace {

// A short name (C:\PROGRA~2) and a long one, "a\..\b" and "b", "/" and "\" compare alike.
std::wstring ComparableForm(const std::wstring& path) {
    const DWORD fullSize = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (fullSize == 0) return {};
    std::wstring full(fullSize, L'\0');
    const DWORD fullLength = ::GetFullPathNameW(path.c_str(), fullSize, &full[0], nullptr);
    if (fullLength == 0 || fullLength >= fullSize) return {};
    full.resize(fullLength);
    // A path that does not exist (any more) keeps its spelling.
    std::wstring longForm(fullLength + MAX_PATH, L'\0');
    const DWORD longLength = ::GetLongPathNameW(full.c_str(), &longForm[0], static_cast<DWORD>(longForm.size()));
    if (longLength != 0 && longLength < longForm.size()) full.assign(longForm, 0, longLength);
    if (!full.empty()) ::CharUpperBuffW(&full[0], static_cast<DWORD>(full.size()));
    return full;
}

}  // namespace

bool PathLiesInFolder(const std::wstring& path, const std::wstring& folder) {
    std::wstring program = path;
    if (!program.empty() && program[0] == L'"') program = program.substr(1, program.find(L'"', 1) - 1);
    const std::wstring inside = ComparableForm(program);
    std::wstring root = ComparableForm(folder);
    while (!root.empty() && root.back() == L'\\') root.pop_back();
    if (inside.empty() || root.empty()) return false;
    root += L'\\';
    return inside.size() > root.size() && inside.compare(0, root.size(), root) == 0;
}
