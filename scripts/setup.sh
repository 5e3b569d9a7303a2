#!/bin/sh
# Installs the Debian packages the build and the tests need, when any is missing.
#   scripts/setup.sh           installs what is missing (with sudo when not root)
#   scripts/setup.sh --help    this text
set -eu
# The comment above, as the usage.
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; }
case "${1:-}" in
    "") ;;
    -h | --help) usage; exit 0 ;;
    *) echo "setup.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
esac
packages="cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev googletest
g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 python3 python3-pefile icoutils zip procps"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "setup: installing$missing"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
# sudo resets the environment: env sets the variable on its far side.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
