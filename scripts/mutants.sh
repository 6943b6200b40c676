#!/usr/bin/env bash
# Runs the test suite against deliberately broken copies of the program and
# reports, for each broken copy (a "mutant"), which tests failed. A mutant
# that no test notices is a fault the suite would let through: the script
# then exits with status 1.
#
# The working tree is never touched: its files are copied to a directory on
# disk (MUTANT_DIR, default build-mutants/ in the tree), built once, and each
# mutant is a one-line sed edit of one source file in that copy, rebuilt
# incrementally, tested, and undone. An edit that no longer matches the
# source (the code moved on) is reported as "NOT APPLIED", also status 1.
#
#   scripts/mutants.sh                 every mutant
#   scripts/mutants.sh crop drops      only the named ones
#   MUTANT_REF=main scripts/mutants.sh  the tests and code of a commit instead
#   MUTANT_JOBS=2 MUTANT_DIR=/var/tmp/m scripts/mutants.sh
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTANT_DIR:-$root/build-mutants}
jobs=${MUTANT_JOBS:-2}

# name | file | sed expression (applied with sed -E -i)
mutants=(
  "drops|src/platform/linux/pacing_threads.cpp|/g_dropFrameCount\.fetch_add/d"
  "burst|src/platform/linux/pacing_threads.cpp|s/if \(next_ <= now\) next_ =/if (next_ <= now \&\& false) next_ =/"
  "early-publish|src/engines/threaded_write.cpp|s/published < settled; published\+\+/published < settled || published < iWait; published++/"
  "crop|src/engines/sync.cpp|/ofs \+= g_ioOffset;/d"
  "crop-threaded|src/engines/frame_worker.cpp|/ofs \+= g_ioOffset;/d"
  "crop-async|src/engines/async.cpp|s/aio\[s\]\.offset = offset;/aio[s].offset = 0;/"
  "stamp-at-collect|src/platform/linux/aio.cpp|s/if \(doneAt\) \*doneAt = aio->doneAt;/if (doneAt) QueryPerfCount(doneAt);/"
  "summary-avg|src/screen/summary.cpp|s/sum \* 1000 \/ int64_t\(nFrames\)/sum \/ int64_t(nFrames) * 1000/"
  "hist-column|src/timing_log_format.h|s/\* 16\.0 \+ 0\.5;/* 16.0;/"
  "rate-range|src/timing_log_format.h|s/kMaxFrameRate = 100;/kMaxFrameRate = 120;/"
  "reverse-name|src/frameset.cpp|s/fnum = g_numFrames - 1 - index;/fnum = g_numFrames - index;/"
  "period-drop|src/screen/display_screen.cpp|/HistogramDrop\(&state->hist, /d"
  "dir-by-number|src/frameset.cpp|0,/g_dirName, index \/ g_numFilesPerDir/s//g_dirName, fnum \/ g_numFilesPerDir/"
  "rank-floor|tools/report/analysis.cpp|s/\(n \* ppm \+ 999999\) \/ 1000000/(n * ppm) \/ 1000000/"
  "verdict-drops|tools/report/analysis.cpp|s/if \(dropped > 0 \|\| below\)/if (below)/"
  "verdict-headroom|tools/report/analysis.cpp|s/bool below = vd\.headroom < 1 - kVerdictMargin;/bool below = false;/"
  "verdict-margin|tools/report/analysis.cpp|s/vd\.headroom < 1 \+ kVerdictMargin/vd.headroom < 1/"
  "job-drops|tools/report/analysis.cpp|/j\.droppedFrames \+= logs\[l\]\.droppedFrames;/d"
  "crlf|tools/report/timing_log.cpp|/line->back\(\) == '.r'/d"
  "mpi-drops|tools/mpi/job.cpp|s/f\.sum\[RankFigures::kDropped\] = dropped;/f.sum[RankFigures::kDropped] = 0 * dropped;/"
  "script-escape|tools/report/escape.cpp|s/if \(c == '<'\) \{/if (false) {/"
  "terminal-escape|tools/report/escape.cpp|s/if \(n == 1 \&\& c >= 0x20 \&\& c != 0x7F\)/if (n == 1)/"
  "stamp-floor|tools/report/timing_log.cpp|s/ok = t\[i\] >= kMinStampUs \&\& /ok = /"
  "size-range|tools/report/timing_log.cpp|s/value\(0, fmt::kMaxFrameSizeKB\)/value(0, INT64_MAX)/"
  "csv-doubled|tools/report/timing_log.cpp|/if \(line\[i \+ 1\] == '.'\) i\+\+;/d"
  "report-in-place|tools/report/main.cpp|s/^  if \(direct\) \{/  if (true) {/"
  "mpi-bytes|tools/mpi/job.cpp|0,/    bytes \+= res\.bytes;/{//d}"
  "mpi-phase-min|tools/mpi/job.cpp|s/into->min\[i\] = std::min/into->min[i] = std::max/"
  "mpi-log-in-place|tools/mpi/rank_log.cpp|s/^  if \(!exists \|\| S_ISREG\(st\.st_mode\)\) \{/  if (false) {/"
  "mpi-logs-first|tools/mpi/job_end.cpp|/^  ReportFigures\(rs, wallStart\);$/d; s/^(  int lost = logName .*)$/\1 ReportFigures(rs, wallStart);/"
  "mpi-usr1|tools/mpi/watcher.cpp|/sigaction\(SIGUSR1, &sa, nullptr\);/d"
  "mpi-status-2|tools/mpi/job_end.cpp|s/lost \? 2 : TestFailed\(\) \? 1 : 0/lost ? 2 : 0/"
  "sem-kept|src/platform/linux/sema.cpp|/^  sem_unlink\(name\);$/d"
  "csv-quote|src/screen/timing_log_writer.cpp|/if \(\*p == '.'\) s \+= '.';/d"
  "mpi-spread|tools/mpi/job.cpp|s/\(latest - earliest\) \* 1000\.0/(latest - earliest)/"
  "uring-withdraw|src/platform/linux/aio.cpp|/^    io_uring_prep_nop\(sqe\);$/d"
  "uring-retry|src/platform/linux/aio.cpp|s/attempt < kSubmitAttempts; attempt\+\+/attempt < 1; attempt++/"
  "exit-failed|src/driver.cpp|s/status = 2;/status = 0;/"
  "target-dir|src/driver.cpp|s/if \(cl.isWriteTest\) CheckWriteTarget/if (false) CheckWriteTarget/"
  "drain-trace|src/engines/async.cpp|s/: \"- waiting for final I\/O %d\"/: \"- Waiting for final I\/O %d\"/"
  "queue-skip|src/screen/summary.cpp|s/== kNoQueueFigure\) continue;/== kNoQueueFigure) break;/"
  "read-extra|src/engines/threaded_read.cpp|s/return stopped \? i \+ 1 : i;/return i;/"
  "async-eos|src/engines/async.cpp|s/\(!opened \&\& !d\.write \&\& /(!opened \&\& d.write \&\& /"
  "async-inflight|src/engines/async.cpp|s/!= kAioIdle; \}/== kAioDone; }/"
  "level-loss|tools/report/compare.cpp|s/f\.direction == Direction::kLevel \|\| //"
  "not-comparable|tools/report/main.cpp|s/if \(!cmp\.mismatches\.empty\(\) \&\& !force\) \{/if (false) {/"
  "regression-gate|tools/report/main.cpp|s/> 0 \? 3 : 0;/> 0 ? 0 : 0;/"
  "schema-check|tools/report/baseline.cpp|s/if \(doc\[\"schema_version\"\] != kSchemaVersion\)/if (false)/"
  "series-drops|tools/report/series.cpp|s/drops\[sec\]\+\+;/drops[sec] += k == 0;/"
  "label-quote|tools/report/metrics.cpp|s/else if \(c == '\"'\)/else if (false)/"
  "metrics-tmp-left|tools/report/metrics.cpp|/    unlink\(tmp\.c_str\(\)\);/d"
  "streams-drops|tools/streams/probe.cpp|/if \(why\.empty\(\) \&\& s\.dropped > 0\)/d"
  "streams-forward|tools/streams/process.cpp|s/sendAll\(sig, false\);/(void)sig;/"
  "streams-bisect|tools/streams/search.cpp|s/next_ = lastPass_ \+ \(firstFail_ - lastPass_\) \/ 2;/next_ = firstFail_ - 1;/"
  "streams-rate|tools/streams/main.cpp|s/int\(std::ceil\(c\.rate - 1e-9\)\)/int(c.rate)/"
  "streams-signal|tools/streams/process.cpp|/if \(WIFSIGNALED\(st\)\)/d"
)

selected=("$@")
wanted() {
  [ ${#selected[@]} -eq 0 ] && return 0
  local s
  for s in "${selected[@]}"; do [ "$s" = "$1" ] && return 0; done
  return 1
}

# A fresh copy of the tracked and new (not ignored) files, or of a commit.
rm -rf "$work/src"
mkdir -p "$work/src"
if [ -n "${MUTANT_REF:-}" ]; then
  git -C "$root" archive "$MUTANT_REF" | tar -xf - -C "$work/src" || exit 2
else
  (cd "$root" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) |
    tar -xf - -C "$work/src" || exit 2
fi
# A build of its own every time: copied files keep their old times, which
# would leave objects of an earlier copy (or of a mutant) in place.
build="$work/build"
rm -rf "$build"
cmake -S "$work/src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORDAVI_BENCH=OFF \
  >"$work/cmake.log" 2>&1 || { echo "configure failed: $work/cmake.log"; exit 2; }

# Builds, runs both test programs and prints the failing tests (or
# "BUILD FAILED" / "TIMEOUT"), one line.
run_suite() {
  if ! cmake --build "$build" -j"$jobs" >"$work/build.log" 2>&1; then
    echo "BUILD FAILED"
    return
  fi
  local failed="" bin out rc
  local bins=(ordavi_unit ordavi_e2e)
  [ -x "$build/tools/mpi/ordavi_mpi_tests" ] && bins+=(tools/mpi/ordavi_mpi_tests)
  [ -x "$build/tools/streams/ordavi_streams_test" ] && bins+=(tools/streams/ordavi_streams_test)
  for bin in "${bins[@]}"; do
    out=$(cd "$build" && timeout 900 "./$bin" --gtest_brief=1 2>&1)
    rc=$?
    printf '%s\n' "$out" >"$work/logs/$current-${bin##*/}.log"
    [ $rc -eq 124 ] && failed+=" $bin:TIMEOUT"
    failed+=" $(printf '%s\n' "$out" | sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\).*/\1/p' |
      sort -u | tr '\n' ' ')"
    if [ $rc -ne 0 ] && [ $rc -ne 124 ] && ! printf '%s\n' "$out" | grep -q '^\[  FAILED  \]'; then
      failed+=" $bin:exit-$rc"
    fi
  done
  echo $failed
}

rm -rf "$work/logs"
mkdir -p "$work/logs"  # each test program's output, per mutant
current=unmutated
echo "unmutated: $(run_suite | sed 's/^$/all tests pass/')"

status=0
printf '%-15s %s\n' "mutant" "failing tests"
for m in "${mutants[@]}"; do
  IFS='|' read -r name file expr <<<"$m"
  wanted "$name" || continue
  target="$work/src/$file"
  cp "$target" "$work/orig"
  sed -E -i "$expr" "$target"
  if cmp -s "$target" "$work/orig"; then
    printf '%-15s %s\n' "$name" "NOT APPLIED ($file no longer has the line)"
    status=1
    continue
  fi
  current=$name
  result=$(run_suite)
  cp "$work/orig" "$target"
  touch "$target"
  if [ -z "$result" ]; then
    result="SURVIVED"
    status=1
  fi
  printf '%-15s %s\n' "$name" "$result"
done
# Leave the copy built unmutated, ready for a re-run.
cmake --build "$build" -j"$jobs" >"$work/build.log" 2>&1
exit $status
