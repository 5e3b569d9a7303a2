#!/bin/bash
# Builds every configuration and runs every test: native, ASan+UBSan (with the fuzz targets),
# TSan, and the Windows cross build with its tests under Wine; checks the sources' habits
# (scripts/check-source.sh: formatting, includes, length, clang-tidy). Then the README's first
# command as a user runs it, natively and with --windows, and, in CI, the release zip rebuilt in a
# folder of its own, which must give the Windows build's zip byte for byte.
#   scripts/test.sh [preset ...]     default: native asan tsan windows
#   scripts/test.sh --help           this text
# Each preset's build runs while the preset before it is tested: the tests spend much of their
# time waiting (children started and ended, Wine's server, pauses between events), which the
# build fills. Every phase says how long it took.
# Each fuzz target runs TAVIRO_FUZZ_SECONDS (the INI fuzzer three times as long): 60 in CI
# (CI=true), where every run may find what the last did not; 5 by default elsewhere, so that a
# local run takes minutes. The log's exit test plays all its rounds in CI and a quarter of them
# elsewhere. TAVIRO_RELEASE_CHECK=1 rebuilds the release outside CI too (30 s more),
# TAVIRO_RELEASE_CHECK=0 leaves it out in CI.
set -euo pipefail
# The comment above, as the usage.
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; }
for arg in "$@"; do
    case "$arg" in
        -h | --help) usage; exit 0 ;;
        native | asan | tsan | windows) ;;
        -*) echo "test.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
        *) echo "test.sh: no preset $arg (native, asan, tsan, windows)" >&2; usage >&2; exit 2 ;;
    esac
done
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

build() {
    local preset=$1 options=()
    [ "$preset" = asan ] && options=(-DTAVIRO_FUZZ_SECONDS="$fuzz_seconds")
    cmake --preset "$preset" "${options[@]}" >/dev/null || return
    cmake --build --preset "$preset" -j2 || return
}

# Called where a failure does not end the script, so every step hands its own on.
run_tests() {
    local preset=$1
    if [ "$preset" = windows ]; then
        # Create the private Wine prefix once, before tests start Wine in parallel.
        TAVIRO_WINEPREFIX="$PWD/build/windows/wineprefix" scripts/wine-run.sh wineboot --init >/dev/null 2>&1 || return
    fi
    ctest --preset "$preset" || return
    case "$preset" in
        native) check_testbed_script native || return ;;
        windows)
            check_testbed_script windows --windows || return
            if [ "$release_check" = 1 ]; then
                echo "=== the release zip, rebuilt in another folder ==="
                scripts/release.sh "$(ls -t build/windows/Taviro-*.zip | head -1)" || return
            fi
            ;;
    esac
}

started=$SECONDS
echo "=== ${presets[0]}: build ==="
build "${presets[0]}"
echo "=== ${presets[0]}: built in $((SECONDS - started)) s ==="
for ((i = 0; i < ${#presets[@]}; ++i)); do
    preset=${presets[i]}
    next=${presets[i + 1]:-}
    building=""
    if [ -n "$next" ]; then
        mkdir -p build
        next_log=build/$next-build.log
        (
            build_started=$SECONDS
            build "$next" || exit
            echo "=== $next: built in $((SECONDS - build_started)) s ==="
        ) >"$next_log" 2>&1 &
        building=$!
    fi
    checking=""
    if [ -z "$next" ]; then
        # The sources' habits (formatting, includes, length, clang-tidy) are checked while the last
        # tests run, which spend most of their time waiting.
        mkdir -p build
        (
            check_started=$SECONDS
            scripts/check-source.sh || exit
            echo "=== the sources checked in $((SECONDS - check_started)) s ==="
        ) >build/check-source.log 2>&1 &
        checking=$!
    fi
    echo "=== $preset: tests${next:+ (while $next builds)}${checking:+ (while the sources are checked)} ==="
    tests_started=$SECONDS
    tests_status=0
    run_tests "$preset" || tests_status=$?
    echo "=== $preset: tested in $((SECONDS - tests_started)) s ==="
    build_status=0
    if [ -n "$building" ]; then
        wait "$building" || build_status=$?
        echo "=== $next: build (alongside the $preset tests) ==="
        cat "$next_log"
        [ $build_status -eq 0 ] || echo "test.sh: the $next build failed" >&2
    fi
    check_status=0
    if [ -n "$checking" ]; then
        wait "$checking" || check_status=$?
        cat build/check-source.log
        [ $check_status -eq 0 ] || echo "test.sh: the sources' checks failed" >&2
    fi
    # Both said when both failed; the tests' status is the one handed on.
    [ $tests_status -eq 0 ] || { echo "test.sh: the $preset tests failed" >&2; exit $tests_status; }
    [ $build_status -eq 0 ] || exit 1
    [ $check_status -eq 0 ] || exit 1
done
echo "=== all done in $((SECONDS - started)) s ==="
