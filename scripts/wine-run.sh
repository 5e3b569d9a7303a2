#!/bin/sh
# Runs a Windows program under Wine, headless, in a private prefix (created on first use).
export WINEPREFIX="${TAVIRO_WINEPREFIX:-${TMPDIR:-/tmp}/taviro-wineprefix}"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
