#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix; the exit code is the program's.
# Used by CTest as the cross-compiling emulator.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/wine-env.sh"
vexo_wine_prefix_ready || vexo_wine_prefix_create
exec wine "$@"
