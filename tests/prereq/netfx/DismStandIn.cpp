// Stand-in for the system's dism in test prefixes: answers the feature query with the state line
// in VEXO_DISM_STATE (default "State : Disabled") and appends how it was reached, its own path
// and its command line, to the file named by VEXO_DISM_CALLS.

#include <cstdio>
#include <cstdlib>

#include "StandInUtil.h"

int main() {
    const char* state = std::getenv("VEXO_DISM_STATE");
    std::printf(
        "Deployment Image Servicing and Management tool\r\n\r\nFeature Information:\r\n\r\n"
        "Feature Name : NetFx3\r\n%s\r\n\r\nThe operation completed successfully.\r\n",
        state != nullptr ? state : "State : Disabled");
    if (const char* calls = std::getenv("VEXO_DISM_CALLS"))
        AppendLine(WindowsPath(calls), OwnPath() + L"|" + ::GetCommandLineW());
    return 0;
}
