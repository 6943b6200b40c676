#!/usr/bin/env bash
# The development set-up (make setup, run by make check and make demo):
# installs what ordavi's tests, sanitizers, fuzzing, man page checks and
# package need, if it is missing. Building and installing the programs need
# none of it (a compiler and CMake do). Every package is named here: nothing
# is left to another package's recommendations.
set -euo pipefail
pkgs=(
  cmake g++ make clang
  libgtest-dev libgmock-dev libbenchmark-dev
  libclang-rt-14-dev     # libFuzzer and the sanitizer runtimes for clang
  liburing-dev           # the asynchronous engines on io_uring
  nlohmann-json3-dev     # ordavi-report's JSON
  libopenmpi-dev openmpi-bin   # ordavi-mpi
  chromium               # the report page, checked in a real browser
  mandoc clang-format    # man page lint, formatting check
  man-db groff-base gzip # man -l and man -w, groff -ww, compressed man pages
  mount e2fsprogs util-linux procps  # fault tests: loop devices, limits; unshare -n
  file dpkg-dev          # the Debian package
)
need=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
