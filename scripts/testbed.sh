#!/bin/bash
# Builds the plugin and the testbed and runs the testbed's default drive, frame by frame.
#   scripts/testbed.sh            the native build (Taviro.so in the game stand-in)
#   scripts/testbed.sh --windows  the real Taviro.dll in the Windows game stand-in under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
preset=native
[ "${1:-}" = "--windows" ] && preset=windows
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target taviro-testbed >/dev/null
if [ "$preset" = windows ]; then
    TAVIRO_WINEPREFIX="$PWD/build/windows/wineprefix" scripts/wine-run.sh build/windows/testbed/taviro-testbed.exe
else
    build/native/testbed/taviro-testbed
fi
