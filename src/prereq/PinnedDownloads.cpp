#include "prereq/PinnedDownloads.h"

#include <cwctype>

#include "base/BuildConfig.h"

// The only reader of kPinnedDownloads: a test build of the pins compiles this unit alone with its own.
std::string PinnedDigest(const std::wstring& name) {
    const std::wstring list = kPinnedDownloads;
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(L';', start);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring entry = list.substr(start, end - start);
        const size_t equals = entry.find(L'=');
        if (equals != std::wstring::npos && entry.compare(0, equals, name) == 0) {
            std::string hex;
            for (size_t i = equals + 1; i < entry.size(); ++i)
                hex += static_cast<char>(std::towlower(static_cast<wint_t>(entry[i])));
            return hex;
        }
        start = end + 1;
    }
    return {};
}
