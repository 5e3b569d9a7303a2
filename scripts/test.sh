#!/bin/bash
# Builds every configuration and runs every test: native, ASan+UBSan (with the fuzz targets),
# TSan, and the Windows cross build with its tests under Wine.
#   scripts/test.sh [preset ...]     default: native asan tsan windows
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native asan tsan windows)

for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j2
    if [ "$preset" = windows ]; then
        # Create the private Wine prefix once, before tests start Wine in parallel.
        TAVIRO_WINEPREFIX="$PWD/build/windows/wineprefix" scripts/wine-run.sh wineboot --init >/dev/null 2>&1
    fi
    ctest --preset "$preset"
done
