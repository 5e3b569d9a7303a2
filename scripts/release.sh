#!/bin/bash
# Builds the release zip as it is released, from a copy of these sources in a folder of its own
# (build/release), the plugin and the package only, and prints the zip's SHA-256 and the DLL's.
# The same commit gives the same bytes in any folder at any time, so anyone can check that a
# published zip is the one these sources make.
#   scripts/release.sh              build/release/src/build/windows/Taviro-<version>.zip
#   scripts/release.sh OTHER.zip    the same, and fails unless OTHER.zip has the same bytes
#   scripts/release.sh --help       this text
# A working tree that differs from its commit is said so, with the first files that differ: its
# zip is not the commit's.
set -euo pipefail
# The comment above, as the usage.
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; }

compare=""
for arg in "$@"; do
    case "$arg" in
        -h | --help) usage; exit 0 ;;
        -*) echo "release.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
        *)
            if [ -n "$compare" ]; then
                echo "release.sh: one zip to compare with, not more" >&2; usage >&2; exit 2
            fi
            case "$arg" in
                /*) compare=$arg ;;
                *) compare=$PWD/$arg ;;
            esac
            ;;
    esac
done
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh

# The zip is made from the files as they are here. Where they are not the last commit's, it is
# not that commit's zip: say so now, and name the files again if the comparison fails.
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo "")
modified=""
if [ -n "$commit" ]; then
    # A few names say what kind of change it is; a list of hundreds would bury the warning.
    modified=$(git -C "$root" status --porcelain --untracked-files=all |
        awk '{ code = substr($0, 1, 2); what = "changed" }
             code == "??" { what = "not in the commit" }
             code ~ /D/ { what = "deleted" }
             NR <= 5 { printf "%s%s (%s)", sep, substr($0, 4), what; sep = ", " }
             END { if (NR > 5) printf " and %d more files", NR - 5 }')
    if [ -n "$modified" ]; then
        echo "release.sh: the working tree is not commit $commit as committed: $modified" >&2
    fi
fi

# The entries' time is the last commit's; the copy has no history of its own to read it from.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
    export SOURCE_DATE_EPOCH=$epoch
fi

work=$root/build/release
rm -rf "$work"
mkdir -p "$work/src"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/src" -xf -

# Quiet when the build works; its errors when it does not.
cd "$work/src"
if ! { cmake --preset windows -DBUILD_TESTING=OFF -DTAVIRO_BENCH=OFF &&
    cmake --build --preset windows -j2 --target release_zip; } >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    echo "release.sh: the release build failed" >&2
    exit 1
fi
grep -E 'SHA-256|entries dated' "$work/build.log"
zip=$(ls "$work"/src/build/windows/Taviro-*.zip)
echo "release: $zip"

if [ -n "$compare" ]; then
    if cmp -s "$zip" "$compare"; then
        echo "release: the same bytes as $compare"
    else
        echo "release.sh: $compare differs from the zip these sources make" >&2
        if [ -n "$modified" ]; then
            echo "release.sh: these sources are commit $commit with changes: $modified;" \
                "commit them or set them aside (git stash -u), check out the release's commit" \
                "and run again" >&2
        elif [ -n "$commit" ]; then
            echo "release.sh: these sources are commit $commit, unchanged: is it the release's" \
                "commit? Another compiler than scripts/setup.sh's also makes other bytes" >&2
        fi
        exit 1
    fi
fi
