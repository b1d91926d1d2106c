#pragma once
// A walk over the files below a folder, not through junctions or symbolic links: what they lead to
// is not the folder's.

#include <windows.h>

#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "base/Owners.h"

// Calls visit(path, found) for every file below `folder`, folders first in no set order; a visit
// that returns false ends the walk, and so the result. A folder that cannot be listed is passed over.
template <typename Visit>
bool VisitFilesBelow(const std::wstring& folder, Visit&& visit) {
    std::vector<std::wstring> pending{folder};
    while (!pending.empty()) {
        const std::wstring dir = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW found = {};
        const UniqueFind find(::FindFirstFileW((dir + L"\\*").c_str(), &found));
        if (!find) continue;
        do {
            if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
            std::wstring path = dir + L"\\" + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                pending.push_back(std::move(path));
            else if (!visit(path, found))
                return false;
        } while (::FindNextFileW(find.get(), &found));
    }
    return true;
}
