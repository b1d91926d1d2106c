// Stands in for an earlier installation's running programs: copied under their names, it only waits.
#include <windows.h>

int main() {
    Sleep(60000);
    return 0;
}
