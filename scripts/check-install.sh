#!/usr/bin/env bash
# Checks `make install PREFIX=... DESTDIR=...`: it runs no package manager
# (stand-ins for apt-get, dpkg, sudo and npm first on the PATH record any
# call) and, where it may (root), runs without a network (unshare -n);
# everything lands below DESTDIR/PREFIX, every program the build made is
# there with its man page, the README is in share/doc/ordavi, the installed
# ordavi runs, and the pages render without a warning.
#
#   bash scripts/check-install.sh [BUILD]    # BUILD: the build directory (default build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}

say() { echo "check-install: $*"; }
fail() {
  echo "check-install: FAILED: $*" >&2
  exit 1
}

stage=$(mktemp -d /var/tmp/ordavi-install.XXXXXX)
trap 'rm -rf "$stage"' EXIT
prefix=/opt/ordavi-check

shims=$stage/no-package-manager
mkdir "$shims"
for tool in apt-get apt apt-cache aptitude dpkg dpkg-query sudo npm; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\nexit 1\n' "$tool" "$stage/package-manager-calls" >"$shims/$tool"
  chmod +x "$shims/$tool"
done
offline=()
if unshare -n true 2>/dev/null; then
  offline=(unshare -n)
else
  say "unshare -n is not permitted here (not root?): make install runs with the network"
fi
PATH="$shims:$PATH" "${offline[@]}" make -s -C "$top" install BUILD="$build" PREFIX="$prefix" \
  DESTDIR="$stage/root" >"$stage/install.log" 2>&1 ||
  fail "make install failed: $(cat "$stage/install.log")"
[ ! -e "$stage/package-manager-calls" ] ||
  fail "make install ran a package manager: $(cat "$stage/package-manager-calls")"

# Nothing outside the prefix, and nothing written to the real prefix.
[ ! -e "$prefix" ] || fail "$prefix exists: DESTDIR was not honoured"
[ -d "$stage/root$prefix" ] || fail "nothing was installed below DESTDIR$prefix"
outside=$(find "$stage/root" -mindepth 1 \( -type f -o -type l \) ! -path "$stage/root$prefix/*")
[ -z "$outside" ] || fail "installed outside $prefix: $outside"

programs=()
for p in ordavi ordavi-report ordavi-streams ordavi-mpi; do
  [ -x "$top/$build/$p" ] || [ -x "$top/$build/tools/${p#ordavi-}/$p" ] && programs+=("$p")
done
for p in "${programs[@]}"; do
  [ -x "$stage/root$prefix/bin/$p" ] || fail "$prefix/bin/$p is not installed"
  page="$stage/root$prefix/share/man/man1/$p.1.gz"
  [ -f "$page" ] || fail "$prefix/share/man/man1/$p.1.gz is not installed"
  out=$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null) || fail "man -l $p.1.gz failed: $out"
  [ -z "$out" ] || fail "man -l $p.1.gz: $out"
done

doc=$stage/root$prefix/share/doc/ordavi
cmp -s "$top/README.md" "$doc/README.md" || fail "$prefix/share/doc/ordavi/README.md is not the README"
[ -f "$doc/doc/report.png" ] || fail "$prefix/share/doc/ordavi/doc/report.png (the README's picture) is missing"

mkdir "$stage/frames"
"$stage/root$prefix/bin/ordavi" --noinfo -u 0 -w 4 -n 3 "$stage/frames" >"$stage/run.txt" 2>&1 ||
  fail "the installed ordavi failed: $(cat "$stage/run.txt")"
say "installed below DESTDIR$prefix with their man pages and the README, no package manager run${offline:+, no network}: ${programs[*]}; the installed ordavi runs"
