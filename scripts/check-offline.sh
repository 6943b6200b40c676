#!/usr/bin/env bash
# Proves that ordavi builds from a compiler, CMake and the C library alone,
# with no network: configures a fresh build directory in a network namespace
# without a network (unshare -n, root) with every optional package hidden
# from CMake (liburing, nlohmann-json, GoogleTest, Google Benchmark, MPI),
# checks that CMake said in one line each what it left out, builds only the
# ordavi target there, and runs the built ordavi: an asynchronous capture and
# playback on the POSIX AIO path, the only one such a build has.
#
#   bash scripts/check-offline.sh [BUILD]    # BUILD: the build directory (default build-offline)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/${1:-build-offline}

say() { echo "check-offline: $*"; }
fail() {
  echo "check-offline: FAILED: $*" >&2
  exit 1
}

unshare -n true 2>/dev/null || fail "unshare -n is not permitted here (run as root)"
# No network inside: the loopback device alone, and that one down.
devices=$(unshare -n awk -F: 'NR > 2 { gsub(/ /, "", $1); print $1 }' /proc/net/dev)
[ "$devices" = lo ] || fail "unshare -n leaves network devices: $devices"

# Always afresh: a cached find result would hide a new dependency.
rm -rf "$build"
mkdir -p "$build"
log=$build/offline.log
unshare -n cmake -S "$top" -B "$build" -DORDAVI_WERROR=ON -DORDAVI_IO_URING=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_DISABLE_FIND_PACKAGE_MPI=ON >"$log" 2>&1 ||
  fail "configure failed without the network and the optional packages: $(cat "$log")"
for line in "ORDAVI_IO_URING is OFF: the asynchronous engines use POSIX AIO only" \
  "nlohmann-json 3 not found: ordavi-report" "GoogleTest not found: the tests are not built" \
  "MPI not found: ordavi-mpi is not built"; do
  grep -q -- "-- $line" "$log" || fail "CMake did not say \"$line...\": $(cat "$log")"
done
unshare -n cmake --build "$build" -j"${JOBS:-2}" --target ordavi >>"$log" 2>&1 ||
  fail "ordavi did not build without the network: $(tail -50 "$log")"
if ldd "$build/ordavi" | grep -q uring; then
  fail "ordavi links liburing although it was left out: $(ldd "$build/ordavi")"
fi
say "configured and built ordavi with no network and no optional package"

# The frames on disk below the build tree, never tmpfs.
frames=$build/frames
rm -rf "$frames"
mkdir "$frames"
trap 'rm -rf "$frames"' EXIT
run() {
  "$build/ordavi" --noinfo "$@" >"$build/run.txt" 2>&1 || fail "ordavi $* exited with $?: $(cat "$build/run.txt")"
}
run --verbose -u 0 -a 4 -w 64 -n 8 "$frames"
grep -q -- "- asynchronous I/O: POSIX AIO" "$build/run.txt" ||
  fail "the asynchronous capture did not say it used POSIX AIO: $(cat "$build/run.txt")"
n=$(find "$frames" -name 'frame*.tst' -size 64k | wc -l)
[ "$n" -eq 8 ] || fail "the capture left $n frame files of 64 KB, not 8"
run -u 0 -a 4 -n 8 "$frames"
grep -q "Overall frame rate" "$build/run.txt" || fail "no summary from the playback: $(cat "$build/run.txt")"
say "the offline ordavi ran: an asynchronous capture and playback of 8 frames on POSIX AIO"
