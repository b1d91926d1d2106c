// Stand-in for the runtime package the installer runs and waits for: it appends its whole command
// line (UTF-8, one line) to vc-cmdline.txt in its own folder, so a test can see how it was started.

#include <windows.h>

#include "base/Owners.h"

#include <string>
#include <vector>

namespace {

std::wstring OwnFolder() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return L"";
        if (n < path.size()) break;
        if (path.size() >= 32768) return L"";
        path.resize(path.size() * 2);
    }
    std::wstring folder(path.data());
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

std::string Utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr) != n) return std::string();
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::wstring folder = OwnFolder();
    if (folder.empty()) return 1;
    const std::string line = Utf8(GetCommandLineW()) + "\r\n";

    // Appending, so a test sees every run (the installer runs the package on each installation).
    UniqueFile file(CreateFileW((folder + L"\\vc-cmdline.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return ok && written == line.size() ? 0 : 1;
}
