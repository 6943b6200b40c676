#!/usr/bin/env bash
# Installs what ordavi needs to build, test and package, if it is missing.
# Every package is named here: nothing is left to another package's
# recommendations.
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
  mount e2fsprogs util-linux procps  # fault tests: loop devices, limits
  file dpkg-dev          # the Debian package
)
need=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
# The report's chart library comes from the npm registry: any node and npm do.
command -v npm >/dev/null || need+=(nodejs npm)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
