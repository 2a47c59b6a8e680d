#!/bin/sh
# Set-up on a fresh Debian 12 machine, where even make may be missing: installs the Debian
# packages that are missing (run as root for that), then runs `make demo` or `make test`.
# Usage: ./setup.sh demo|test|build
set -e
cd "$(dirname "$0")"
case "${1:-}" in
  demo|test|build) ;;
  *) echo "usage: ./setup.sh demo|test|build" >&2; exit 2 ;;
esac
sh scripts/install-deps.sh
exec make "$1"
