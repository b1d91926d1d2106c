// Stands in for another program of the user's that wants to put its own program in place of a
// download: it tries to open PATH for writing, over and over, until STOP exists (the installer ran
// what it downloaded) or a minute has passed, and writes over it whenever it can. It ends with the
// number of times it could open the file before the installer ran it.
//   swapper PATH STOP
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return -1;
    const DWORD start = ::GetTickCount();
    int opened = 0;
    while (::GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES && ::GetTickCount() - start < 60000) {
        const HANDLE file = ::CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        // Only what happened before the run counts: afterwards the file is nobody's concern.
        if (::GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) {
            ++opened;
            DWORD written = 0;
            ::WriteFile(file, "MZ not the signed program", 25, &written, nullptr);
        }
        ::CloseHandle(file);
    }
    return opened;
}
