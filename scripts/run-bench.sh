#!/bin/sh
# Runs the benchmark probe of the 64-bit build under the host's Wine 64 and, with --x86, the probe
# of the 32-bit build under WOW64 in the Debian root of scripts/x86-roots.sh (as the shipped build
# runs on a 64-bit Windows), one after the other, each in a prefix of its own so that it neither
# disturbs nor is disturbed by a test run. With both, the ratios are shown side by side. The
# stand-in wtsapi32.dll beside each probe replaces Wine's, as for the tests.
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

scripts/wine-prefix.sh "$prefix"
status=0
x64_out="$build/bench-output.txt"
WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="$overrides" \
  wine "$probe" "$@" | tee "$x64_out" || status=$?
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
[ -n "$x86_build" ] || exit $status

roots_status=0
scripts/x86-roots.sh ensure || roots_status=$?
if [ "$roots_status" -eq 3 ]; then
  echo "!!! x86 benchmark SKIPPED: this machine does not run i386 programs !!!"
  exit $status
fi
[ "$roots_status" -eq 0 ] || { echo "x86: the Debian roots could not be made" >&2; exit 1; }
tree=$(pwd)
x86_build=$(realpath "$x86_build")
x86_prefix="$x86_build/bench-prefix-wow64"
x86_out="$x86_build/bench-output.txt"
root_dir=$(scripts/x86-roots.sh path wow64)
in_root() { chroot "$root_dir" /bin/sh -c "cd '$tree' && $1"; }
scripts/x86-roots.sh enter wow64 "$tree"
trap 'in_root "WINEPREFIX=$x86_prefix wineserver -k" 2>/dev/null; scripts/x86-roots.sh leave wow64 "$tree"' EXIT
echo
echo "=== x86: the 32-bit build under WOW64 ==="
in_root "sh scripts/wine-prefix.sh '$x86_prefix'" >/dev/null
in_root "WINEPREFIX='$x86_prefix' WINEDEBUG=-all WINEDLLOVERRIDES='$overrides' \
           wine '$x86_build/testbin/quorbel_bench.exe' $*" | tee "$x86_out" || status=$?

# Side by side: every "label: value" line of the two runs, by label, in the 64-bit run's order.
echo
echo "=== both builds, measured in this run (lower is better) ==="
awk -F': ' '
  FNR == 1 { file++ }
  NF < 2 { next }
  { label = $1; value = substr($0, length($1) + 3) }
  file == 1 { order[++count] = label; x64[label] = value }
  file == 2 { x86[label] = value; if (!(label in x64)) order[++count] = label }
  END {
    printf "%-58s | %-32s | %s\n", "", "x64 (Wine 64)", "x86 (WOW64)"
    for (i = 1; i <= count; ++i) {
      l = order[i]
      printf "%-58s | %-32s | %s\n", l, (l in x64) ? x64[l] : "-", (l in x86) ? x86[l] : "-"
    }
  }' "$x64_out" "$x86_out"
exit $status
