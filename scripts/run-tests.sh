#!/bin/sh
# Runs every test under Wine 64 with one wineserver kept alive for the whole run. A test that
# fails is run once more: Wine now and then fails to launch a process at all (a failure within
# milliseconds, before the test has run); a real fault fails both times.
# Usage: run-tests.sh BUILD_DIR PREFIX
set -e
build="$1"
prefix="$2"
scripts/wine-prefix.sh "$prefix"
status=0
(cd "$build" && WINEPREFIX="$prefix" ctest --output-on-failure --timeout 600 --repeat until-pass:2) || status=$?
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
exit $status
