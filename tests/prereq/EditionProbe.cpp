// Prints what the edition detection sees in the Wine prefix it runs in, on one line:
// "<tag or -> <bits> <names of the checks that hold, or none>". The first argument, when
// given, is the log file the checks write to.
// With "--read NAME" it prints "[text]" of that CurrentVersion value as read into a buffer full
// of '#', or "failed".

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/Log.h"
#include "prereq/OsVersion.h"

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--read") == 0) {
        wchar_t buffer[kCurrentVersionBufferChars];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        const std::wstring name(argv[2], argv[2] + std::strlen(argv[2]));
        if (ReadCurrentVersionValue(name.c_str(), buffer))
            std::printf("[%ls]\n", buffer);
        else
            std::printf("failed\n");
        return 0;
    }
    if (argc > 1) InitLogAt(ToWide(argv[1], std::strlen(argv[1]), CP_ACP));
    const std::wstring tag = GetOsTag();
    std::string held;
    const struct {
        const char* name;
        bool (*check)();
    } checks[] = {{"IsWindows832Bit", IsWindows832Bit},   {"IsWindows864Bit", IsWindows864Bit},
                  {"IsWindows8132Bit", IsWindows8132Bit}, {"IsWindows8164Bit", IsWindows8164Bit},
                  {"IsWindows1032Bit", IsWindows1032Bit}, {"IsWindows1064Bit", IsWindows1064Bit}};
    for (const auto& c : checks) {
        if (c.check()) held += (held.empty() ? "" : ",") + std::string(c.name);
    }
    std::printf("%ls %d %s\n", tag.empty() ? L"-" : tag.c_str(), GetSystemBits(), held.empty() ? "none" : held.c_str());
    return 0;
}
