#!/bin/sh
# Runs every test: the 64-bit build's under the host's Wine 64, and the 32-bit build's (the one
# users get) in the Debian roots of scripts/x86-roots.sh, its unit tests under 32-bit Wine and its
# system tests under WOW64. The two builds run side by side, each with its own prefixes and
# wineservers, one wineserver kept alive per prefix for the whole run. Where this machine cannot
# run i386 programs, the 32-bit tests are skipped with one line that says so.
#
# A test that fails is run once more: Wine now and then fails to launch a process at all (a
# failure within milliseconds, before the test has run); a real fault fails both times. The retry
# could also hide an intermittent race, so the run ends by naming every test that needed it.
# Usage: run-tests.sh BUILD_DIR PREFIX [X86_BUILD_DIR]
set -e
build="$1"
prefix="$2"
x86_build="${3:-}"
tree=$(pwd)
# Tests named Windowed... look at real windows, which Wine makes only with a display: they run
# apart, under Xvfb, with the wineserver (and so Wine's desktop) started inside it. The roots have
# no display, so the 32-bit build's window tests are left out.
windowed='[.]Windowed'
status=0
started=$(date +%s)

ctest_run() {  # ctest_run BUILD_DIR LOG [ctest arguments]: the log's summary line is the verdict
  local_build="$1" local_log="$2"
  shift 2
  (cd "$local_build" && ctest --output-on-failure --timeout 600 --repeat until-pass:2 "$@") \
    > "$local_log" 2>&1 || true
}

# --- the 32-bit build in the roots ------------------------------------------------------------
x86_log=""
x86_roots=""
in_root() {  # in_root ROOT COMMAND...: runs a host-side shell command line inside the root
  chroot "$(scripts/x86-roots.sh path "$1")" /bin/sh -c "cd '$tree' && $2"
}
leave_roots() {
  for root in $x86_roots; do
    in_root "$root" "WINEPREFIX='$x86_build/wineprefix-$root' wineserver -k" 2>/dev/null || true
    scripts/x86-roots.sh leave "$root" "$tree" || true
  done
  x86_roots=""
}
trap leave_roots EXIT INT TERM

if [ -n "$x86_build" ]; then
  x86_build=$(realpath "$x86_build")
  roots_status=0
  scripts/x86-roots.sh ensure || roots_status=$?
  if [ "$roots_status" -eq 3 ]; then
    echo "!!! x86 tests SKIPPED: this machine does not run i386 programs, so the 32-bit build is not tested !!!"
  elif [ "$roots_status" -ne 0 ]; then
    echo "x86: FAILED to make the Debian roots for the 32-bit tests (see above)"
    status=1
  else
    for root in i386 wow64; do
      scripts/x86-roots.sh enter "$root" "$tree"
      x86_roots="$x86_roots $root"
      in_root "$root" "sh scripts/wine-prefix.sh '$x86_build/wineprefix-$root'" >/dev/null
    done
    x86_log="$x86_build/ctest-output.log"
    ctest_run "$x86_build" "$x86_log" -E "$windowed" &
    x86_pid=$!
  fi
fi

# --- the 64-bit build under the host's Wine 64 ------------------------------------------------
scripts/wine-prefix.sh "$prefix"
log="$build/ctest-output.log"
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

if [ -n "$x86_log" ]; then
  wait "$x86_pid" || true
  echo
  echo "=== x86: the 32-bit build (unit tests under 32-bit Wine, system tests under WOW64) ==="
  cat "$x86_log"
  if ! grep -q '^100% tests passed' "$x86_log"; then
    status=1
    echo "x86: FAILED (see the tests above)"
  fi
fi
leave_roots

# A test that failed an attempt and passed the next one.
retried=$(cat "$log" ${x86_log:+"$x86_log"} |
          awk '/Test +#[0-9]+: / {
                 for (i = 1; i <= NF; ++i) if ($i ~ /^#[0-9]+:$/) name = $(i + 1)
                 if ($0 ~ /\*\*\*/) failed[name] = 1; else if ($0 ~ / Passed /) passed[name] = 1
               }
               END { for (n in failed) if (n in passed) { printf "%s%s", sep, n; sep = ", " } }')
echo "retried: ${retried:-none}"
echo "test run took $(( $(date +%s) - started )) s"
exit $status
