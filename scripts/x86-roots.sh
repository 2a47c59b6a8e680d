#!/bin/bash
# The two Debian roots in which the 32-bit build runs: "i386", a 32-bit Debian with 32-bit Wine
# alone (a 32-bit Windows), and "wow64", a 64-bit Debian with 64-bit Wine and 32-bit Wine beside
# it (a 64-bit Windows running the 32-bit build through WOW64). The host keeps its 64-bit-only
# Wine. The roots are made once with mmdebstrap, from the Debian mirror of the host's own apt
# sources, in a cache folder outside the clone, and reused by every later run.
#
# Usage (as root):
#   x86-roots.sh probe               exit 0 when this machine runs i386 programs
#   x86-roots.sh ensure              make the roots that are missing; exit 3 when i386 cannot run
#   x86-roots.sh enter ROOT TREE     mount proc, dev, tmp and TREE (at its own path) in the root
#   x86-roots.sh leave ROOT TREE     unmount TREE, and the rest once no other run uses the root
#   x86-roots.sh path ROOT           print the root's folder
# ROOT is i386 or wow64. QUORBEL_ROOTS_DIR overrides the cache folder.
set -u

cache="${QUORBEL_ROOTS_DIR:-/var/cache/quorbel-x86-roots}"
suite_default="bookworm"
# What a root holds; a root made with another list is made anew.
packages_i386="wine,wine32,procps"
packages_wow64="wine,wine64,wine32:i386,procps"
ready_mark=".quorbel-root-ready"

say() { printf 'x86-roots: %s\n' "$*" >&2; }

root_dir() { printf '%s/%s' "$cache" "$1"; }

packages_of() {
  case "$1" in
    i386) printf '%s' "$packages_i386" ;;
    wow64) printf '%s' "$packages_wow64" ;;
    *) say "no root named '$1' (i386 or wow64)"; exit 2 ;;
  esac
}

# A 96-byte static i386 ELF program that exits with 42 through int 0x80. The distinctive code
# tells a real run from a shell that ran the bytes as a script after the kernel refused them.
probe() {
  mkdir -p "$cache" || return 1
  local elf="$cache/probe-i386"
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' > "$elf"
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >> "$elf"
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >> "$elf"
  printf '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' >> "$elf"
  printf '\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00' >> "$elf"
  printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >> "$elf"
  chmod 755 "$elf"
  "$elf" 2>/dev/null
  [ $? -eq 42 ]
}

# The mirror and the suite of the host's own Debian sources: the first deb822 entry in
# sources.list.d, or else the first "deb" line of sources.list.
host_mirror() {
  local f uri
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    uri=$(awk 'tolower($1) == "uris:" { print $2; exit }' "$f")
    [ -n "$uri" ] && { printf '%s' "$uri"; return 0; }
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; ++i) if ($i !~ /^\[/ && $i !~ /\]$/) { print $i; exit } }' "$f")
    [ -n "$uri" ] && { printf '%s' "$uri"; return 0; }
  done
  return 1
}

host_suite() {
  local codename
  codename=$(. /etc/os-release 2>/dev/null && printf '%s' "${VERSION_CODENAME:-}")
  printf '%s' "${codename:-$suite_default}"
}

make_root() {
  local name="$1" dir packages mirror suite work
  dir=$(root_dir "$name")
  packages=$(packages_of "$name")
  [ -f "$dir/$ready_mark" ] && [ "$(cat "$dir/$ready_mark")" = "$packages" ] && return 0
  if mounted_in "$dir"; then
    say "root $name is out of date but something is mounted in it; keeping it"
    return 0
  fi
  mirror=$(host_mirror) || { say "no Debian mirror found in the host's apt sources"; return 1; }
  suite=$(host_suite)
  work="$dir.new"
  remove_unmounted "$work" || return 1
  say "making the $name root ($packages) from $mirror $suite into $dir"
  local arch_option="--architectures=i386"
  [ "$name" = wow64 ] && arch_option="--architectures=amd64,i386"
  if ! mmdebstrap --quiet "$arch_option" --variant=apt --include="$packages" --format=directory \
       "$suite" "$work" "deb $mirror $suite main" >"$cache/$name.log" 2>&1; then
    say "mmdebstrap failed for $name; its output: $cache/$name.log"
    tail -n 20 "$cache/$name.log" >&2
    remove_unmounted "$work"
    return 1
  fi
  printf '%s' "$packages" > "$work/$ready_mark"
  remove_unmounted "$dir" || return 1
  mv "$work" "$dir"
}

# A folder with anything mounted inside is never removed: rm would reach into the mount.
remove_unmounted() {
  if mounted_in "$1"; then
    say "not removing $1: something is mounted in it"
    return 1
  fi
  rm -rf "$1"
}

mounted_in() {
  findmnt -rn -o TARGET | awk -v p="$1/" 'index($0 "/", p) == 1 { found = 1 } END { exit !found }'
}

ensure() {
  if ! probe; then
    say "this machine does not run i386 programs"
    return 3
  fi
  mkdir -p "$cache"
  # One maker at a time: a second run waits for the first one's roots.
  exec 9>"$cache/.lock"
  flock 9
  local name status=0
  for name in i386 wow64; do
    make_root "$name" || status=1
  done
  flock -u 9
  return $status
}

is_mountpoint() { findmnt -rn -M "$1" >/dev/null 2>&1; }

# The runs using a root, one file per run named by its shell's process id; proc, dev and tmp
# stay mounted while any of them lives.
users_dir() { printf '%s/%s.users' "$cache" "$1"; }

enter() {
  local name="$1" tree="$2" dir
  dir=$(root_dir "$name")
  [ -f "$dir/$ready_mark" ] || { say "root $name is not made"; return 1; }
  tree=$(realpath "$tree")
  exec 9>"$cache/.lock"
  flock 9
  mkdir -p "$(users_dir "$name")"
  : > "$(users_dir "$name")/$PPID"
  is_mountpoint "$dir/proc" || mount -t proc proc "$dir/proc" || return 1
  is_mountpoint "$dir/dev" || mount --bind /dev "$dir/dev" || return 1
  is_mountpoint "$dir/tmp" || mount -t tmpfs -o mode=1777 tmpfs "$dir/tmp" || return 1
  mkdir -p "$dir$tree"
  is_mountpoint "$dir$tree" || mount --bind "$tree" "$dir$tree" || return 1
  flock -u 9
}

leave() {
  local name="$1" tree="$2" dir users u
  dir=$(root_dir "$name")
  tree=$(realpath "$tree")
  exec 9>"$cache/.lock"
  flock 9
  users=$(users_dir "$name")
  rm -f "$users/$PPID"
  is_mountpoint "$dir$tree" && umount "$dir$tree"
  for u in "$users"/*; do
    [ -e "$u" ] || continue
    kill -0 "${u##*/}" 2>/dev/null || rm -f "$u"
  done
  if [ -z "$(ls -A "$users" 2>/dev/null)" ]; then
    is_mountpoint "$dir/tmp" && umount "$dir/tmp"
    is_mountpoint "$dir/dev" && umount "$dir/dev"
    is_mountpoint "$dir/proc" && umount "$dir/proc"
  fi
  flock -u 9
  return 0
}

case "${1:-}" in
  probe) probe ;;
  ensure) ensure ;;
  enter) enter "$2" "$3" ;;
  leave) leave "$2" "$3" ;;
  path) root_dir "$2"; echo ;;
  *) sed -n '2,16p' "$0" >&2; exit 2 ;;
esac
