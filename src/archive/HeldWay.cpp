#include "archive/HeldWay.h"

#include <windows.h>

#include <iterator>

#include "archive/FolderRemoval.h"
#include "base/FileInFolder.h"
#include "base/Log.h"
#include "base/SystemApi.h"

std::vector<std::wstring> SplitComponents(const std::wstring& relative) {
    std::vector<std::wstring> parts;
    for (size_t start = 0; start <= relative.size();) {
        size_t end = relative.find(L'\\', start);
        if (end == std::wstring::npos) end = relative.size();
        if (end > start) parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool HandleAttributes(HANDLE handle, DWORD* attributes) {
    // The basic information needs no volume; GetFileInformationByHandle also asks for the volume's
    // serial number, which Wine fetches from its mount manager, another process, every time.
    if (HasFileInformationByHandle()) {
        BasicInfo basic = {};
        if (!GetFileInformationEx(handle, kFileBasicInfo, &basic, sizeof basic)) return false;
        *attributes = basic.fileAttributes;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(handle, &info)) return false;
    *attributes = info.dwFileAttributes;
    return true;
}

HeldWay::HeldWay(std::wstring root, size_t keep) : root_(std::move(root)), keep_(keep) {
    while (root_.size() > 1 && (root_.back() == L'\\' || root_.back() == L'/') && root_[root_.size() - 2] != L':')
        root_.pop_back();
}

HeldWay::State HeldWay::Hold(const std::wstring& relative, bool makeLast, bool* made) {
    const std::vector<std::wstring> parts = SplitComponents(relative);
    return Hold(parts, parts.size(), makeLast, made);
}

HeldWay::State HeldWay::Hold(const std::vector<std::wstring>& parts, size_t count, bool makeLast, bool* made) {
    if (made != nullptr) *made = false;
    size_t same = 0;
    if (!held_.empty()) {
        same = 1;
        while (same <= count && same < held_.size() && held_[same].key == FoldCase(parts[same - 1])) ++same;
    }
    Keep(same);
    std::wstring path = root_;
    for (size_t i = 0; i + 1 < same; ++i) path.append(L"\\").append(parts[i]);
    for (size_t level = same; level <= count; ++level) {
        if (level > 0) path.append(L"\\").append(parts[level - 1]);
        if (level > 0 && !kept_.empty()) {
            const std::wstring key = PathKey(level - 1) + L"\\" + FoldCase(parts[level - 1]);
            const auto found = keptByPath_.find(key);
            if (found != keptByPath_.end()) {
                UniqueFile kept = std::move(found->second->handle);
                Forget(found->second);
                // Held all along, so on Windows it is still what was looked at; Wine does not
                // enforce the sharing against a rename, so its path is asked again (no handle, no
                // round trip) before it is trusted.
                const DWORD attributes = ::GetFileAttributesW(path.c_str());
                if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                    held_.push_back({FoldCase(parts[level - 1]), std::move(kept)});
                    continue;
                }
            }
        }
        UniqueFile handle = OpenFolderHandle(path, true);
        DWORD error = handle ? ERROR_SUCCESS : ::GetLastError();
        if (IsNotFound(error) && makeLast && level == count) {
            // Made, or made by another meanwhile: looked at as any other either way.
            const BOOL created = ::CreateDirectoryW(path.c_str(), nullptr);
            if (made != nullptr) *made = created != FALSE;
            handle = OpenFolderHandle(path, true);
            error = handle ? ERROR_SUCCESS : ::GetLastError();
        }
        if (!handle) {
            if (IsNotFound(error)) return kAbsent;
            LogCallFailed("CreateFileW", path, error);
            return kRefused;
        }
        DWORD held = 0;
        if (!HandleAttributes(handle.get(), &held)) {
            LogCallFailed("GetFileInformationByHandle", path, ::GetLastError());
            return kRefused;
        }
        // Under Wine a handle shows the folder a unix link leads to; only its path shows the link.
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || ((held | attributes) & FILE_ATTRIBUTE_REPARSE_POINT)) {
            LogCallFailed("HeldWay (a link on the way)", path, ERROR_NOT_SUPPORTED);
            return kRefused;
        }
        if (!(held & FILE_ATTRIBUTE_DIRECTORY)) return kAbsent;
        held_.push_back({level == 0 ? std::wstring() : FoldCase(parts[level - 1]), std::move(handle)});
    }
    return kHeld;
}

std::wstring HeldWay::PathKey(size_t levels) const {
    std::wstring key;
    for (size_t i = 1; i <= levels && i < held_.size(); ++i) key.append(L"\\").append(held_[i].key);
    return key;
}

void HeldWay::Keep(size_t from) {
    if (from >= held_.size()) return;
    if (keep_ == 0 || from == 0) {
        held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(from), held_.end());
        if (from == 0) {
            kept_.clear();
            keptByPath_.clear();
        }
        return;
    }
    // Deepest last, so a folder is never evicted after what lies below it is.
    std::wstring key = PathKey(from - 1);
    for (size_t level = from; level < held_.size(); ++level) {
        key.append(L"\\").append(held_[level].key);
        const auto stale = keptByPath_.find(key);
        if (stale != keptByPath_.end()) Forget(stale->second);
        kept_.push_back({key, std::move(held_[level].handle)});
        keptByPath_[key] = std::prev(kept_.end());
    }
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(from), held_.end());
    while (kept_.size() > keep_) {
        const std::wstring gone = kept_.front().path + L"\\";
        Forget(kept_.begin());
        for (auto it = kept_.begin(); it != kept_.end();) {
            const auto next = std::next(it);
            if (it->path.compare(0, gone.size(), gone) == 0) Forget(it);
            it = next;
        }
    }
}

void HeldWay::Forget(std::list<Kept>::iterator kept) {
    keptByPath_.erase(kept->path);
    kept_.erase(kept);
}
