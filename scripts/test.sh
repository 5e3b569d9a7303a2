#!/bin/bash
# Builds every configuration and runs every test: native, ASan+UBSan (with the fuzz targets),
# TSan, and the Windows cross build with its tests under Wine. Then the README's first command
# as a user runs it, natively and with --windows, and, in CI, the release zip rebuilt in a folder
# of its own, which must give the Windows build's zip byte for byte.
#   scripts/test.sh [preset ...]     default: native asan tsan windows
# Each fuzz target runs TAVIRO_FUZZ_SECONDS (the INI fuzzer three times as long): 60 in CI
# (CI=true), where every run may find what the last did not; 5 by default elsewhere, so that a
# local run takes minutes. TAVIRO_RELEASE_CHECK=1 rebuilds the release outside CI too (30 s
# more), TAVIRO_RELEASE_CHECK=0 leaves it out in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native asan tsan windows)
if [ "${CI:-}" = true ]; then
    fuzz_seconds=${TAVIRO_FUZZ_SECONDS:-60}
    release_check=${TAVIRO_RELEASE_CHECK:-1}
else
    fuzz_seconds=${TAVIRO_FUZZ_SECONDS:-5}
    release_check=${TAVIRO_RELEASE_CHECK:-0}
fi

# scripts/testbed.sh must leave the log and the picture it names, and nothing in the temporary
# folder.
check_testbed_script() {
    local preset=$1
    shift
    local runs=build/$preset/testbed-runs scratch=build/$preset/testbed-script-tmp
    local command="scripts/testbed.sh${*:+ $*}"
    rm -rf "$scratch" "$runs/default.log" "$runs/default.svg"
    mkdir -p "$scratch"
    local problems=() problem status=0
    # Wine keeps its server's socket under TMPDIR: one server at a time for the prefix, so the
    # tests' server ends before one starts under this TMPDIR, and that one before its folder goes.
    local prefix=$PWD/build/$preset/wineprefix
    [ "$preset" != windows ] || WINEPREFIX=$prefix wineserver -w
    TMPDIR="$PWD/$scratch" scripts/testbed.sh "$@" >"$scratch.out" 2>&1 || status=$?
    [ "$preset" != windows ] || TMPDIR="$PWD/$scratch" WINEPREFIX=$prefix wineserver -w
    [ $status -eq 0 ] || problems+=("exited with $status")
    [ -s "$runs/default.log" ] || problems+=("left no $runs/default.log")
    [ -s "$runs/default.svg" ] || problems+=("left no $runs/default.svg")
    # Wine's server folder is Wine's own; anything else is a leak.
    local left
    left=$(find "$scratch" -mindepth 1 -maxdepth 1 ! -name 'wine-*' -printf '%f ')
    [ -z "$left" ] || problems+=("left ${left}in TMPDIR")
    if [ ${#problems[@]} -gt 0 ]; then
        cat "$scratch.out" >&2
        for problem in "${problems[@]}"; do echo "$command: $problem" >&2; done
        return 1
    fi
    rm -rf "$scratch" "$scratch.out"
    echo "$command: kept $runs/default.log and $runs/default.svg"
}

for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    options=()
    [ "$preset" = asan ] && options=(-DTAVIRO_FUZZ_SECONDS="$fuzz_seconds")
    cmake --preset "$preset" "${options[@]}" >/dev/null
    cmake --build --preset "$preset" -j2
    if [ "$preset" = windows ]; then
        # Create the private Wine prefix once, before tests start Wine in parallel.
        TAVIRO_WINEPREFIX="$PWD/build/windows/wineprefix" scripts/wine-run.sh wineboot --init >/dev/null 2>&1
    fi
    ctest --preset "$preset"
    case "$preset" in
        native) check_testbed_script native ;;
        windows)
            check_testbed_script windows --windows
            if [ "$release_check" = 1 ]; then
                echo "=== the release zip, rebuilt in another folder ==="
                scripts/release.sh "$(ls -t build/windows/Taviro-*.zip | head -1)"
            fi
            ;;
    esac
done
