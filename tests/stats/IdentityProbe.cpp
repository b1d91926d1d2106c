// Stands in for the installer in the identity tests: writes the record that static
// initialisation built, one field a line, to identity.txt beside itself.

#include <windows.h>

#include <string>

#include "base/ModulePath.h"
#include "base/Owners.h"
#include "stats/InstallerInfo.h"

int main() {
    const InstallerInfo& info = g_installerInfo;
    const std::wstring text = info.channel + L"\n" + info.version + L"\n" + info.build + L"\n" + info.engine + L"\n";
    UniqueFile out(::CreateFileW((ModuleDirectory() + L"\\identity.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, 0, nullptr));
    if (!out) return 1;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    return ::WriteFile(out.get(), text.data(), bytes, &written, nullptr) && written == bytes ? 0 : 1;
}
