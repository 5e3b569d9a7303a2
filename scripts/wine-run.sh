#!/bin/sh
# Runs a Windows program under Wine, headless, in a private prefix (created on first use).
#   scripts/wine-run.sh PROGRAM [ARGUMENT ...]   the prefix is $TAVIRO_WINEPREFIX, else
#                                                ${TMPDIR:-/tmp}/taviro-wineprefix
#   scripts/wine-run.sh --help                   this text
# The options after PROGRAM are the program's own.
# The comment above, as the usage.
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; }
case "${1:-}" in
    -h | --help) usage; exit 0 ;;
    "") echo "wine-run.sh: which program?" >&2; usage >&2; exit 2 ;;
    -*) echo "wine-run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
esac
export WINEPREFIX="${TAVIRO_WINEPREFIX:-${TMPDIR:-/tmp}/taviro-wineprefix}"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask. A native
# xinput1_4.dll wins over Wine's own: the testbed loads its stand-in XInput, as the game would,
# and the plugin finds it loaded; where there is none, Wine's own still loads.
export WINEDLLOVERRIDES="mscoree,mshtml=;xinput1_4=n,b"
# A prefix's Documents is a link to $HOME: a home of the prefix's own keeps what Windows programs
# write there (the plugin's log among it) out of the user's real home.
export HOME="$WINEPREFIX-home"
mkdir -p "$HOME"
# A prefix made earlier under another home still links there.
documents="$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/Documents"
if [ -L "$documents" ] && [ "$(readlink "$documents")" != "$HOME" ]; then
    ln -sfn "$HOME" "$documents"
fi
exec wine "$@"
