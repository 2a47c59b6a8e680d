#!/bin/sh
# Runs the benchmark probe under Wine 64 in a prefix of its own, so that it neither disturbs nor
# is disturbed by a test run in the tests' prefix. The stand-in wtsapi32.dll beside the probe
# replaces Wine's, as for the tests.
# Usage: run-bench.sh BUILD_DIR PREFIX [probe arguments]
set -e
build="$1"
prefix="$2"
shift 2
probe="$build/testbin/quorbel_bench.exe"
[ -f "$probe" ] || { echo "no benchmark probe at $probe: run make build first" >&2; exit 1; }
# The companion's section looks at windows, which Wine makes only with a display: the probe runs
# under Xvfb, with the wineserver (and so Wine's desktop) started inside it.
export build prefix probe
xvfb-run -a sh -c 'scripts/wine-prefix.sh "$prefix" && status=0 &&
  { WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="wtsapi32=n,b;mscoree,mshtml=" \
      wine "$probe" "$@" || status=$?; } &&
  { WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; } && exit $status' sh "$@"

