#!/usr/bin/env bash
# Runs ordavi against fio on the same frame workloads (bench/fio_compare.py).
# Installs python3 when missing; the Python side installs fio and time.
# Needs root (or password-less sudo) to drop the page cache between runs.
set -euo pipefail
if ! command -v python3 >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo -n"
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3
fi
exec python3 "$(dirname "$0")/fio_compare.py" "$@"
