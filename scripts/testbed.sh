#!/bin/bash
# Builds the plugin and the testbed, plays a scenario frame by frame, keeps the plugin's log and
# draws the run's timeline from it.
#   scripts/testbed.sh                    the default drive (testbed/scenarios/default.scn)
#   scripts/testbed.sh exit-and-settle    a shipped scenario by name, or a .scn file by path
#   scripts/testbed.sh [scenario] --windows
#                                         the same with the real Taviro.dll under Wine
#   scripts/testbed.sh --help             this text
# The log and the picture go to build/<native|windows>/testbed-runs/<scenario>.log and .svg.
set -euo pipefail
# The comment above, as the usage.
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; }

preset=native
scenario=default
start=$PWD
for arg in "$@"; do
    case "$arg" in
        -h | --help) usage; exit 0 ;;
        --windows) preset=windows ;;
        -*) echo "testbed.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
        *)
            # A path is taken from where the script was started; a bare name is the testbed's.
            scenario=$arg
            case "$arg" in
                /*) ;;
                *) [ -f "$start/$arg" ] && scenario="$start/$arg" ;;
            esac
            ;;
    esac
done
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh

# Quiet when the build works; its errors when it does not.
build_output=$(mktemp)
trap 'rm -f "$build_output"' EXIT
if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j2 --target taviro-testbed; } \
    >"$build_output" 2>&1; then
    cat "$build_output" >&2
    echo "testbed.sh: the $preset build failed" >&2
    exit 1
fi

runs="$root/build/$preset/testbed-runs"
mkdir -p "$runs"
name=$(basename "$scenario" .scn)
log="$runs/$name.log"
picture="$runs/$name.svg"
# An earlier run's picture beside this run's log would tell another run's story.
rm -f "$log" "$picture"
status=0
if [ "$preset" = windows ]; then
    export TAVIRO_WINEPREFIX="$root/build/windows/wineprefix"
    # Create the prefix first, so that Wine's setup chatter stays out of the table.
    [ -d "$TAVIRO_WINEPREFIX" ] || scripts/wine-run.sh wineboot --init >/dev/null 2>&1
    scripts/wine-run.sh build/windows/testbed/taviro-testbed.exe "$scenario" --keep-log "$log" || status=$?
else
    build/native/testbed/taviro-testbed "$scenario" --keep-log "$log" || status=$?
fi

# The timeline needs the decision trace (bLogging=1); a run without it has only its log, and
# timeline.py says so in its own words.
if [ ! -f "$log" ]; then
    echo "no timeline: the run kept no log (see above)"
    exit $status
fi
echo "log kept: $log"
drawn=0
why=$(python3 scripts/timeline.py "$log" -o "$picture" 2>&1 >/dev/null) || drawn=$?
if [ $drawn -eq 0 ]; then
    echo "timeline: $picture"
else
    rm -f "$picture"
    echo "no timeline, as scripts/timeline.py says:"
    sed 's/^/  /' <<<"$why"
    if grep -q " the load is refused " "$log"; then
        echo "  the plugin refused to load in this run, so it decided nothing (see the log)"
    elif [ $drawn -eq 1 ]; then
        echo "  in a scenario: 'ini TaviroCustom.ini set bLogging 1', then 'data-loaded', before" \
            "the first frames (testbed/scenarios/README.md, \"A timeline of your scenario\")"
    fi
fi
exit $status
