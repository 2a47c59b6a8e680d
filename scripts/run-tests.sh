#!/bin/sh
# Runs every test under Wine 64 with one wineserver kept alive for the whole run. A test that
# fails is run once more: Wine now and then fails to launch a process at all (a failure within
# milliseconds, before the test has run); a real fault fails both times. The retry could also hide
# an intermittent race, so the run ends by naming every test that needed it.
# Usage: run-tests.sh BUILD_DIR PREFIX
set -e
build="$1"
prefix="$2"
scripts/wine-prefix.sh "$prefix"
log="$build/ctest-output.log"
# Tests named Windowed... look at real windows, which Wine makes only with a display: they run
# apart, under Xvfb, with the wineserver (and so Wine's desktop) started inside it.
windowed='[.]Windowed'
status=0
(cd "$build" && WINEPREFIX="$prefix" ctest --output-on-failure --timeout 600 --repeat until-pass:2 \
   -E "$windowed") 2>&1 | tee "$log" || true
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
xvfb-run -a sh -c "scripts/wine-prefix.sh '$prefix' &&
  (cd '$build' && WINEPREFIX='$prefix' ctest --output-on-failure --timeout 600 \
     --repeat until-pass:2 -R '$windowed'); WINEPREFIX='$prefix' wineserver -k" 2>&1 |
  tee -a "$log" || true
# tee hides ctest's status; the summary lines tell whether every test passed in the end.
grep -q '^100% tests passed' "$log" || status=1
! grep -Eq '^[0-9]+% tests passed, [1-9][0-9]* tests failed' "$log" || status=1
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
# A test that failed an attempt and passed the next one.
retried=$(awk '/Test +#[0-9]+: / {
                 for (i = 1; i <= NF; ++i) if ($i ~ /^#[0-9]+:$/) name = $(i + 1)
                 if ($0 ~ /\*\*\*/) failed[name] = 1; else if ($0 ~ / Passed /) passed[name] = 1
               }
               END { for (n in failed) if (n in passed) { printf "%s%s", sep, n; sep = ", " } }' "$log")
echo "retried: ${retried:-none}"
exit $status
