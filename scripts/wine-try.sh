#!/bin/sh
# Prepares a Wine prefix for trying the command line and the service by hand: the built files in
# C:\Quorbel, a second copy QuorbelCtl.exe for commands while the service runs, the trace switch,
# the stand-in terminal-services DLL with its override for both executables, and a sample
# program (a test helper that only waits) as C:\Quorbel\Programs\Sleeper.exe.
# Usage: scripts/wine-try.sh [PREFIX]   (after `make build`; default PREFIX build/try-prefix)
set -e
cd "$(dirname "$0")/.."
prefix="$(realpath -m "${1:-build/try-prefix}")"
dist=dist/x64
fixture=build/x64/testbin/wtsapi32.dll
[ -f "$dist/QuorbelService.exe" ] && [ -f "$fixture" ] || { echo "run make build first" >&2; exit 1; }

scripts/wine-prefix.sh "$prefix" >/dev/null 2>&1 || { echo "the Wine prefix could not be prepared" >&2; exit 1; }
export WINEPREFIX="$prefix" WINEDEBUG=-all
dir="$prefix/drive_c/Quorbel"
mkdir -p "$dir"
cp "$dist/QuorbelService.exe" "$dist/QuorbelServiceManager.exe" "$fixture" "$dir/"
cp "$dist/QuorbelService.exe" "$dir/QuorbelCtl.exe"
mkdir -p "$dir/Programs"
cp build/x64/testbin/fixture_sleeper.exe "$dir/Programs/Sleeper.exe"
: > "$dir/trace.txt"
for exe in QuorbelService.exe QuorbelCtl.exe; do
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe\\DllOverrides" /v wtsapi32 /d native /f >/dev/null
done

cat <<HELP
Prepared $prefix (files in C:\\Quorbel, that is $dir). Try:

  export WINEPREFIX=$prefix WINEDEBUG=-all
  wine 'C:\\Quorbel\\QuorbelService.exe' svc install
  wine 'C:\\Quorbel\\QuorbelService.exe' add 'C:\\Quorbel\\Programs\\Sleeper.exe'
  wine 'C:\\Quorbel\\QuorbelCtl.exe' svc start       # from here on the other copy: see README
  wine 'C:\\Quorbel\\QuorbelCtl.exe' svc status
  wine 'C:\\Quorbel\\QuorbelCtl.exe' list            # Sleeper.exe running once the machine is up 40 s
  wine taskkill /f /im Sleeper.exe                   # and it comes back
  wine 'C:\\Quorbel\\QuorbelCtl.exe' svc stop
  iconv -f UTF-16LE -t UTF-8 $dir/Log/*.log
  wineserver -k                                      # when done
HELP
