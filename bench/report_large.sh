#!/usr/bin/env bash
# ordavi-report on a 1,000,000-frame timing log: the time to read it and
# write both outputs (target: under 2 s), and the peak memory against the
# log's size. Not part of ctest: the machine is shared and noisy, so run it
# a few times and read the best figure.
#
#   bench/report_large.sh [BUILD_DIR] [FRAMES] [RUNS]
set -euo pipefail
build=${1:-build}
frames=${2:-1000000}
runs=${3:-3}
report="$build/tools/report/ordavi-report"
[ -x "$report" ] || { echo "build $report first" >&2; exit 1; }
dir=$(mktemp -d "${TMPDIR:-/var/tmp}/ordavi-report-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
log="$dir/large.csv"

# A synthetic paced read log at 24 fps: 1-3 ms frames, a 200 ms stall every
# 100,000 frames, a dropped period now and then.
awk -v n="$frames" 'BEGIN {
  srand(1);
  print "Date,07-Dec-2026"; print "Time,01:00:00"; print "Version,4.23";
  print "OS,Linux bench"; print "Hostname,bench"; print "TestPath,\"/mnt/bench\"";
  printf "Parameters,\" -r -z8100 -n%d -f24 -q24 -b5 \"\n", n;
  print "FrameRate,24.00,fps"; print "Bandwidth,189.84,MB/s"; print "DroppedFrames,0"; print "";
  print ",file,open,io,close,queue"; print "min,0.000,0.000,0.000,0.000,0";
  print "avg,0.000,0.000,0.000,0.000,0.0"; print "max,0.000,0.000,0.000,0.000,0"; print "";
  print "num,start,open,io,close,frametime,queue";
  t = 0; ft = 41.666;
  for (i = 0; i < n; i++) {
    d = 1 + 2 * rand(); if (i % 100000 == 99999) d += 200;
    o = t + 0.02; io = o + d; c = io + 0.01;
    if (rand() < 0.0001) ft += 41.666;
    printf "%d,%.3f,%.3f,%.3f,%.3f,%.3f,%d\n", i, t, o, io, c, ft, 10;
    t = c + 0.005; ft += 41.666;
  }
}' > "$log"
size=$(stat -c %s "$log")
echo "log: $frames frames, $size bytes"
for i in $(seq "$runs"); do
  /usr/bin/time -f "%e s elapsed, %M KB peak RSS" "$report" --json "$dir/out.json" \
    --html "$dir/out.html" "$log" 2>&1 | tail -1
done
echo "outputs: JSON $(stat -c %s "$dir/out.json") bytes, HTML $(stat -c %s "$dir/out.html") bytes"
