#include "base/ReleasePins.h"

#include <cstring>

#include "base/Sha256.h"
#include "base/Text.h"

namespace {

// The block as linked into this program; null when the program has none (tools and tests).
bool OwnBlock(const char** data, size_t* size) {
    const HMODULE self = ::GetModuleHandleW(nullptr);
    const HRSRC found = ::FindResourceA(self, kPinsResourceName, MAKEINTRESOURCEA(10));  // RT_RCDATA
    if (found == nullptr) return false;
    const HGLOBAL loaded = ::LoadResource(self, found);
    if (loaded == nullptr) return false;
    *data = static_cast<const char*>(::LockResource(loaded));
    *size = ::SizeofResource(self, found);
    return *data != nullptr;
}

std::string PinFromBlock(const char* block, size_t size, const wchar_t* fileName, bool* pinned) {
    *pinned = false;
    const size_t headerSize = sizeof kPinsFilledHeader - 1;
    if (block == nullptr || size < headerSize || std::memcmp(block, kPinsFilledHeader, headerSize) != 0) return {};
    *pinned = true;
    const std::string text(block + headerSize, strnlen(block + headerSize, size - headerSize));
    const std::string wanted = ToNarrow(fileName, CP_UTF8) + "=";
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (text.compare(at, wanted.size(), wanted) == 0) return text.substr(at + wanted.size(), end - at - wanted.size());
        at = end + 1;
    }
    return {};
}

}  // namespace

std::string PinRequiredFor(const wchar_t* fileName) {
    const char* data = nullptr;
    size_t size = 0;
    bool pinned = false;
    if (!OwnBlock(&data, &size)) return {};
    const std::string pin = PinFromBlock(data, size, fileName, &pinned);
    if (!pinned) return {};
    return pin.empty() ? "(no pin)" : pin;
}

UniqueFile HoldForReading(const std::wstring& path) {
    // No write or delete sharing: while this handle is open, nobody can change, rename or replace
    // the file (nor rename a folder above it).
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first = {}, second = {};
    if (!::GetFileInformationByHandle(a, &first) || !::GetFileInformationByHandle(b, &second)) return false;
    return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

PinCheck CheckAgainst(HANDLE held, const std::string& pin, std::string* found) {
    if (pin.empty()) return PinCheck::NotPinned;
    if (held == nullptr || held == INVALID_HANDLE_VALUE) {
        *found = "not there";
        return PinCheck::Differs;
    }
    Sha256Digest digest{};
    if (!HashRest(held, &digest)) {
        *found = "unreadable (" + std::to_string(::GetLastError()) + ")";
        return PinCheck::Differs;
    }
    *found = ToHex(digest);
    return *found == pin ? PinCheck::Matches : PinCheck::Differs;
}
