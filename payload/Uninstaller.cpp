// Stand-in for the product's uninstaller, which the installer only registers: it removes nothing
// and shows nothing, so a test or a curious user can start it safely.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
