#!/usr/bin/env bash
# Installs the Debian package that `make deb` left in the top directory with
# apt-get, runs the installed programs, finds their man pages, removes the
# package again and checks that its files are gone. Needs root (or sudo).
#
#   bash scripts/check-package.sh [DIR]    # DIR holds ordavi_*.deb (default: the top directory)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
src=${1:-$top}

say() { echo "check-package: $*"; }
fail() {
  echo "check-package: FAILED: $*" >&2
  exit 1
}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

shopt -s nullglob
debs=("$src"/ordavi_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one ordavi_*.deb in $src, found ${#debs[@]} (run make deb)"
debs+=("$src"/ordavi-mpi_*.deb)

# apt-get's chatter goes to a log, shown only when it fails.
apt_get() {
  if ! $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -y "$@" >"$work/apt.log" 2>&1; then
    cat "$work/apt.log" >&2
    fail "apt-get $* failed"
  fi
}
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
# Never replace, and then remove, a copy that someone installed on purpose.
for p in ordavi ordavi-mpi; do
  if installed "$p"; then
    fail "package $p is already installed; remove it first (apt-get remove $p)"
  fi
done

# A clean directory on disk (not tmpfs) that apt's unprivileged download user
# can read, holding only the packages, and the frames of the test run.
work=$(mktemp -d /var/tmp/ordavi-package.XXXXXX)
chmod 755 "$work"
packages=()
cleanup() {
  local rc=$?
  for p in ordavi-mpi ordavi; do
    if installed "$p"; then $SUDO apt-get remove -y -qq "$p" >/dev/null 2>&1 || true; fi
  done
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp "${debs[@]}" "$work/"
cd "$work"
for deb in ./*.deb; do
  packages+=("$(dpkg-deb -f "$deb" Package)")
done
say "installing ${packages[*]} with apt-get install ./*.deb in $work"
apt_get install ./*.deb

# The files each package put on the system, for the check after removal.
files=()
for deb in ./*.deb; do
  while read -r f; do files+=("/${f#./}"); done < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')
done
for f in "${files[@]}"; do
  [ -e "$f" ] || fail "$f is not installed"
done
# The README, which the man pages point to.
cmp -s "$top/README.md" /usr/share/doc/ordavi/README.md ||
  fail "/usr/share/doc/ordavi/README.md is not the README"

# A short capture and playback of 4 KB frames on disk, with the timing log.
mkdir frames
/usr/bin/ordavi --noinfo -u 0 -w 4 -n 10 -x capture.csv frames >capture.txt 2>&1 ||
  fail "ordavi -w 4 -n 10 exited with $?: $(cat capture.txt)"
n=$(find frames -name 'frame*.tst' -size 4k | wc -l)
[ "$n" -eq 10 ] || fail "the capture left $n frame files of 4 KB, not 10"
grep -q "Overall frame rate" capture.txt || fail "no summary from the capture"
rows=$(grep -c '^[0-9]' capture.csv)
[ "$rows" -eq 10 ] || fail "capture.csv holds $rows frame rows, not 10"
/usr/bin/ordavi --noinfo -u 0 -n 10 frames >playback.txt 2>&1 ||
  fail "ordavi -n 10 (playback) exited with $?: $(cat playback.txt)"
grep -q "Reading frames" playback.txt || fail "no engine line from the playback"
say "ordavi ran: capture and playback of 10 frames"

if [ -x /usr/bin/ordavi-report ]; then
  /usr/bin/ordavi-report capture.csv >report.txt 2>&1 ||
    fail "ordavi-report capture.csv exited with $?: $(cat report.txt)"
  [ -s report.txt ] || fail "ordavi-report printed nothing"
  say "ordavi-report read the capture's log"
else
  say "ordavi-report is not in the package: its check is skipped"
fi

if [ -x /usr/bin/ordavi-streams ]; then
  mkdir streams
  /usr/bin/ordavi-streams --size 4 --duration 1 --read 1 --write 1 streams >streams.txt 2>&1 ||
    fail "ordavi-streams exited with $?: $(cat streams.txt)"
  grep -q "sustained" streams.txt || fail "ordavi-streams gave no verdict: $(cat streams.txt)"
  say "ordavi-streams ran a mix of the installed ordavi"
fi

# Every program in the packages has its man page, found by man itself.
for f in "${files[@]}"; do
  case "$f" in
    /usr/bin/*)
      page=$(basename "$f")
      where=$(man -w "$page") || fail "man -w $page finds no page"
      [ "$where" = "/usr/share/man/man1/$page.1.gz" ] ||
        fail "man -w $page gives $where, not the package's page (another copy below /usr/local?)"
      MANWIDTH=80 man "$page" 2>&1 >/dev/null | { ! grep .; } || fail "man $page printed warnings"
      say "man -w $page: $where"
      ;;
  esac
done

apt_get remove "${packages[@]}"
for p in "${packages[@]}"; do
  ! installed "$p" || fail "$p is still installed after apt-get remove"
done
for f in "${files[@]}"; do
  [ ! -e "$f" ] || fail "$f is still there after apt-get remove"
done
say "removed ${packages[*]}: ${#files[@]} files gone"
say "ok"
