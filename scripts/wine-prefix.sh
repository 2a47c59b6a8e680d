#!/bin/sh
# Creates the private Wine prefix (once) and starts a fresh wineserver that stays alive until
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
# Wine's service manager keeps the environment of the process that happened to start it, and
# hands it to every service. Start it here, from a plain environment, so that no test's DLL
# overrides leak into the services it starts; a service that needs one gets it from the registry.
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p
wine sc query QuorbelService >/dev/null 2>&1 || true
