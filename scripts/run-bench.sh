#!/bin/sh
# Runs the benchmark probe of the 64-bit build under the host's Wine 64 and, with --x86, the probe
# of the 32-bit build under WOW64 in the Debian root of scripts/x86-roots.sh (as the shipped build
# runs on a 64-bit Windows), one after the other, each in a prefix of its own so that it neither
# disturbs nor is disturbed by a test run. With both, the ratios are shown side by side at the
# end. The stand-in wtsapi32.dll beside each probe replaces Wine's, as for the tests.
# The companion's section looks at windows, which Wine makes only with a display: each probe runs
# under Xvfb, with its wineserver (and so Wine's desktop) started inside it. The root reaches the
# display through its abstract socket; that server takes clients without a cookie (-ac), since
# the root cannot read the host's cookie file.
# Usage: run-bench.sh [--x86 X86_BUILD_DIR] BUILD_DIR PREFIX [probe arguments]
set -e
x86_build=""
if [ "${1:-}" = "--x86" ]; then
  x86_build="$2"
  shift 2
fi
build="$1"
prefix="$2"
shift 2
probe="$build/testbin/quorbel_bench.exe"
[ -f "$probe" ] || { echo "no benchmark probe at $probe: run make build first" >&2; exit 1; }
overrides="wtsapi32=n,b;mscoree,mshtml="
export build prefix probe overrides
x64_out="$build/bench-output.txt"
{ xvfb-run -a sh -c 'scripts/wine-prefix.sh "$prefix" >/dev/null && status=0 &&
    { WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="$overrides" \
        wine "$probe" "$@" || status=$?; } &&
    { WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; } && exit $status' sh "$@"
  echo $? > "$x64_out.status"; } | tee "$x64_out"
status=$(cat "$x64_out.status")
[ -n "$x86_build" ] || exit "$status"

roots_status=0
scripts/x86-roots.sh ensure || roots_status=$?
if [ "$roots_status" -eq 3 ]; then
  echo "!!! x86 benchmark SKIPPED: this machine does not run i386 programs !!!"
  exit "$status"
fi
[ "$roots_status" -eq 0 ] || { echo "x86: the Debian roots could not be made" >&2; exit 1; }
tree=$(pwd)
x86_build=$(realpath "$x86_build")
x86_prefix="$x86_build/bench-prefix-wow64"
x86_out="$x86_build/bench-output.txt"
scripts/x86-roots.sh enter wow64 "$tree"
trap 'scripts/x86-roots.sh leave wow64 "$tree"' EXIT
echo
echo "=== x86: the 32-bit build under WOW64 ==="
{ xvfb-run -a -s "-ac -screen 0 1280x1024x24" chroot "$(scripts/x86-roots.sh path wow64)" \
    /bin/sh -c "cd '$tree' && sh scripts/wine-prefix.sh '$x86_prefix' >/dev/null && status=0 &&
      { WINEPREFIX='$x86_prefix' WINEDEBUG=-all WINEDLLOVERRIDES='$overrides' \
          wine '$x86_build/testbin/quorbel_bench.exe' $* || status=\$?; } &&
      { WINEPREFIX='$x86_prefix' wineserver -k 2>/dev/null || true; } && exit \$status"
  echo $? > "$x86_out.status"; } | tee "$x86_out"
[ "$(cat "$x86_out.status")" = 0 ] || status=1

# Side by side: every "label: value" line of the two runs, by label, in the 64-bit run's order.
echo
echo "=== both builds, each measured in this run (lower is better) ==="
awk -F': ' '
  FNR == 1 { file++ }
  NF < 2 { next }
  { label = $1; value = substr($0, length($1) + 3) }
  file == 1 { if (!(label in x64)) order[++count] = label; x64[label] = value }
  file == 2 { if (!(label in x64) && !(label in x86)) order[++count] = label; x86[label] = value }
  END {
    printf "%-60s | %-34s | %s\n", "", "x64 (Wine 64)", "x86 (WOW64)"
    for (i = 1; i <= count; ++i) {
      l = order[i]
      printf "%-60s | %-34s | %s\n", l, (l in x64) ? x64[l] : "-", (l in x86) ? x86[l] : "-"
    }
  }' "$x64_out" "$x86_out"
exit "$status"
