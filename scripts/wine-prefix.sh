#!/bin/sh
# Creates the private Wine prefix (once) and starts a wineserver that stays alive until
# `wineserver -k`, so that every Windows process of a run starts quickly.
# Usage: wine-prefix.sh PREFIX
set -e
WINEPREFIX="$1"
WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask.
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wine wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  [ -f "$WINEPREFIX/system.reg" ] || { echo "Wine prefix could not be created" >&2; exit 1; }
fi
wineserver -p
