#!/bin/sh
# Runs a Windows program under Wine, headless, in a private prefix (created on first use).
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
