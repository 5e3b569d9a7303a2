#!/bin/bash
# The habits CI keeps of the sources, each failing the run on any finding:
#   - every C++ file formatted as .clang-format says;
#   - no include climbs out of its folder ("../"), which would step around the layers the build
#     keeps apart (each folder of plugin/ sees only the folders below it);
#   - no source file past 600 lines;
#   - clang-tidy's checks of .clang-tidy at zero findings, over the code that ships (plugin/ and
#     sfse_common/), compiled as the asan preset compiles it (configured here when it is not, and
#     its precompiled header built).
usage() {
    cat <<'EOF'
usage: scripts/check-source.sh [--no-tidy]
Checks the formatting, the includes, the files' length and (unless --no-tidy) clang-tidy's
findings; prints each problem and exits 1 when there is any, 0 when there is none.
EOF
}
tidy=1
for arg in "$@"; do
    case "$arg" in
        -h | --help) usage; exit 0 ;;
        --no-tidy) tidy=0 ;;
        *) echo "check-source.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
    esac
done
set -uo pipefail
cd "$(dirname "$0")/.."

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t sources < <(git ls-files -- '*.cpp' '*.h' '*.cc')
else
    mapfile -t sources < <(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print |
                           sed 's|^\./||' | sort)
fi
problems=0
fail() {
    echo "check-source.sh: $*" >&2
    problems=$((problems + 1))
}

unformatted=$(clang-format --dry-run "${sources[@]}" 2>&1 | grep -o '^[^:]*:[0-9]*:[0-9]*: warning' |
              cut -d: -f1 | sort -u)
for file in $unformatted; do
    fail "$file is not formatted as .clang-format says (clang-format -i $file)"
done

while IFS= read -r line; do
    fail "${line%%:*}: an include that climbs out of its folder: ${line#*:*:}"
done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"\.\./' "${sources[@]}")

for file in "${sources[@]}"; do
    lines=$(wc -l <"$file")
    [ "$lines" -le 600 ] || fail "$file has $lines lines, more than 600"
done

if [ $tidy = 1 ]; then
    if [ ! -f build/asan/compile_commands.json ]; then
        cmake --preset asan >/dev/null || fail "the asan preset could not be configured for clang-tidy"
    fi
    # The code is compiled with a precompiled header of the common headers, which clang-tidy
    # takes up too: it must be there, and as new as the headers.
    cmake --build build/asan --target taviro_code_headers >/dev/null ||
        fail "the asan preset's precompiled header could not be built for clang-tidy"
    mapfile -t shipped < <(printf '%s\n' "${sources[@]}" | grep -E '^(plugin|sfse_common)/.*\.cpp$')
    findings=$(printf '%s\n' "${shipped[@]}" |
               xargs -P2 -n4 clang-tidy -p build/asan --quiet 2>/dev/null | grep -E ': (warning|error):')
    if [ -n "$findings" ]; then
        echo "$findings" | sort -u >&2
        fail "clang-tidy found $(echo "$findings" | sort -u | wc -l) problems"
    fi
fi

if [ $problems -gt 0 ]; then
    exit 1
fi
echo "check-source.sh: ${#sources[@]} files formatted, includes within their folders, none past 600 lines$([ $tidy = 1 ] && echo ", clang-tidy without findings")"
