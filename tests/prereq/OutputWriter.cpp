// Test helper for the program runner: OUT_BYTES of a pattern to standard output, ERR_BYTES to
// standard error, then the bytes of HEX to standard output, in pieces and unbuffered.
//   output_writer OUT_BYTES ERR_BYTES [HEX]
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

static bool Write(DWORD stream, const std::string& bytes) {
    DWORD written = 0;
    for (size_t at = 0; at < bytes.size(); at += written) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 4096));
        if (!WriteFile(GetStdHandle(stream), bytes.data() + at, piece, &written, nullptr)) return false;
    }
    return true;
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string out(std::strtoul(argv[1], nullptr, 10), 'a'), err(std::strtoul(argv[2], nullptr, 10), 'A'), raw;
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>('a' + i % 26);
    for (size_t i = 0; i < err.size(); ++i) err[i] = static_cast<char>('A' + i % 26);
    for (const char* hex = argc > 3 ? argv[3] : ""; hex[0] && hex[1]; hex += 2)
        raw += static_cast<char>(std::strtoul(std::string(hex, 2).c_str(), nullptr, 16));
    return Write(STD_OUTPUT_HANDLE, out) && Write(STD_ERROR_HANDLE, err) && Write(STD_OUTPUT_HANDLE, raw) ? 0 : 1;
}
