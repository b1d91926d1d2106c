#pragma once
// Where the payload's entries land below a folder, as the extraction maps them.

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "archive/FolderRemoval.h"
#include "archive/ZipReader.h"

// Where the payload's entries land below installPath, relative to it, as the extraction maps them,
// in archive order: each file to onFile with its entry's index, and every folder on their way,
// once each, to folders (when given).
// False when the archive cannot be read to its end; what was visited by then stays visited.
template <typename OnFile>
bool VisitPayloadTargetsIn(ArchiveHandle* archive, const std::wstring& installPath, OnFile&& onFile,
                           std::vector<std::wstring>* folders) {
    ArchiveEntry entry = {};
    if (GetArchiveEntry(archive, -1, &entry) != kArchiveOk) return false;
    const int32_t count = entry.index;
    std::set<std::wstring> known;
    for (int32_t i = 0; i < count; ++i) {
        if (GetArchiveEntry(archive, i, &entry) != kArchiveOk) return false;
        std::wstring target;
        if (!EntryTargetPath(installPath, entry.name, &target)) continue;
        // A folder entry's ends in "\"; an empty one is the install folder itself.
        std::wstring relative = target.substr(installPath.size() + 1);
        if (relative.empty()) continue;
        if (relative.back() != L'\\') {
            if (entry.attr & FILE_ATTRIBUTE_DIRECTORY)
                relative += L'\\';
            else
                onFile(relative, i);
        }
        if (folders == nullptr) continue;
        for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
             slash = relative.find(L'\\', slash + 1)) {
            std::wstring folder = relative.substr(0, slash);
            if (known.insert(FoldCase(folder)).second) folders->push_back(std::move(folder));
        }
    }
    return true;
}

// The same for the payload at payloadPath, each file to onFile by its relative path alone.
template <typename OnFile>
bool VisitPayloadTargets(const std::wstring& payloadPath, const std::wstring& installPath, OnFile&& onFile,
                         std::vector<std::wstring>* folders) {
    const UniqueArchive archive(OpenArchive(payloadPath.c_str()));
    return archive && VisitPayloadTargetsIn(
                          archive.get(), installPath, [&](const std::wstring& relative, int32_t) { onFile(relative); },
                          folders);
}
