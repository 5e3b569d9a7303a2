#!/bin/bash
# Builds every configuration and runs every test: native, ASan+UBSan (with the fuzz targets),
# TSan, and the Windows cross build with its tests under Wine; checks the sources' habits
# (scripts/check-source.sh: formatting, includes, length, clang-tidy). Then the README's first
# command as a user runs it, natively and with --windows, and, in CI, the release zip rebuilt in a
# folder of its own, which must give the Windows build's zip byte for byte.
#   scripts/test.sh [preset ...]     default: native windows tsan asan
#   scripts/test.sh --help           this text
# The builds run one after another; each preset is tested as soon as it is built, beside the
# builds after it (so the Windows tests, which wait the longest, start early, and the sanitizers'
# tests, which compute the most, come last). Every build and every preset's tests say how long
# they took, and the tests' output comes whole when they end. A failure ends nothing else: the run
# says all that failed.
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
[ ${#presets[@]} -eq 0 ] && presets=(native windows tsan asan)
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

# Runs a command with Wine's session for the Windows build's prefix kept up. Wine ends its session
# (its services and its server) a moment after the last Windows program ends, and the next
# program pays seconds to start another: one program kept running spares the tests that. It ends
# when its input does, once the command is done or when this script ends however it ends. The
# command starts once that program runs: services a test started would hold ctest's pipe open for
# as long as the session lasts.
with_wine_session() {
    local keep i status=0
    local -x TAVIRO_WINEPREFIX="$PWD/build/windows/wineprefix"
    # Creates the private prefix once, before tests start Wine in parallel.
    scripts/wine-run.sh wineboot --init >/dev/null 2>&1 || return
    exec {keep}> >(exec scripts/wine-run.sh find.exe "~" >/dev/null 2>&1)
    for ((i = 0; i < 300; ++i)); do
        pgrep -f '\\find\.exe ~$' >/dev/null && break
        sleep 0.1
    done
    [ $i -lt 300 ] || echo "test.sh: Wine's session could not be kept up; each program starts it"
    "$@" {keep}>&- || status=$?
    exec {keep}>&-
    return $status
}

# Called where a failure does not end the script, so every step hands its own on.
run_tests() {
    local preset=$1 session=()
    [ "$preset" != windows ] || session=(with_wine_session)
    "${session[@]}" ctest --preset "$preset" || return
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

# Jobs run in the background, each into a log of its own, which is said whole when it ends.
declare -A job_pid job_status
jobs_running=()
start_job() {
    local name=$1
    shift
    mkdir -p build
    (
        job_started=$SECONDS
        status=0
        "$@" || status=$?
        echo "=== $name: $([ $status -eq 0 ] && echo done || echo "failed ($status)")" \
            "in $((SECONDS - job_started)) s, $((SECONDS - started)) s into the run ==="
        exit $status
    ) >"build/$name.log" 2>&1 &
    job_pid[$name]=$!
    jobs_running+=("$name")
}
# Says every job that has ended; with --all, waits for the rest first.
report_jobs() {
    local name still=()
    for name in "${jobs_running[@]}"; do
        if [ "${1:-}" != --all ] && kill -0 "${job_pid[$name]}" 2>/dev/null; then
            still+=("$name")
            continue
        fi
        job_status[$name]=0
        wait "${job_pid[$name]}" || job_status[$name]=$?
        echo "=== $name ==="
        cat "build/$name.log"
    done
    jobs_running=("${still[@]}")
}
# A job's programs outlive it unless stopped: in a script, programs started in the background
# ignore the terminal's interrupt, so a run that ends early, however, stops every job's programs.
stop_tree() {
    local children child
    children=$(pgrep -P "$1") || true
    kill -TERM "$1" 2>/dev/null || true
    for child in $children; do
        stop_tree "$child"
    done
}
stop_jobs() {
    local name
    for name in "${jobs_running[@]}"; do
        stop_tree "${job_pid[$name]}"
        # Windows programs leave their parents under Wine; its server ends what is left of them.
        [ "$name" != windows-tests ] || WINEPREFIX="$PWD/build/windows/wineprefix" wineserver -k || true
    done
}
trap stop_jobs EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The tests spend most of their time waiting (children started and ended, Wine's server, pauses
# between events), which the builds after them fill.
started=$SECONDS
for preset in "${presets[@]}"; do
    echo "=== $preset: build ==="
    build_started=$SECONDS
    if ! build "$preset"; then
        echo "test.sh: the $preset build failed" >&2
        job_status[$preset-build]=1
        break
    fi
    echo "=== $preset: built in $((SECONDS - build_started)) s ==="
    start_job "$preset-tests" run_tests "$preset"
    report_jobs
done
start_job check-source scripts/check-source.sh
report_jobs --all

failed=()
for name in "${!job_status[@]}"; do
    [ "${job_status[$name]}" -eq 0 ] || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "test.sh: failed: ${failed[*]} (after $((SECONDS - started)) s)" >&2
    exit 1
fi
echo "=== all done in $((SECONDS - started)) s ==="
