#!/bin/sh
# Runs the 64-bit executable under Wine with tracing switched on and prints the trace log it
# wrote, decoded to UTF-8.
# Usage: demo.sh BUILD_DIR PREFIX
set -e
build="$1"
prefix="$2"
scripts/wine-prefix.sh "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all
demo_dir="$prefix/drive_c/QuorbelDemo"
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
cp dist/x64/QuorbelService.exe dist/x64/QuorbelServiceManager.exe "$demo_dir/"
: > "$demo_dir/trace.txt"
echo "== Running C:\\QuorbelDemo\\QuorbelService.exe with trace.txt beside it"
wine 'C:\QuorbelDemo\QuorbelService.exe' && code=0 || code=$?
echo "== Exit code: $code"
echo "== Trace log:"
for f in "$demo_dir"/Log/*.log; do
  echo "-- $(basename "$f")"
  iconv -f UTF-16LE -t UTF-8 "$f"
done
wineserver -k 2>/dev/null || true
