#!/bin/sh
# Installs the Debian packages the build and the tests need, when any is missing. The host keeps
# 64-bit Wine only (neither wine32 nor the i386 architecture): the 32-bit build runs in Debian
# roots that mmdebstrap makes (scripts/x86-roots.sh). xvfb gives the window tests a display (Wine
# makes windows only with one).
set -e
packages="make mmdebstrap g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64 cmake ninja-build googletest wixl xvfb xauth libxml2-utils msitools"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  echo "Packages missing and not running as root: apt-get install$missing" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq $missing >/dev/null
