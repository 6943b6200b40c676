// End-to-end: the asynchronous paths and the waits of paced runs - honest
// transfer times, overlap, worker buffers outside the measured run, failures
// in the last frames, stops, the frame queue's name and thread limits.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Args = std::vector<std::string>;
Args Cat(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// The number after `label` in `text`, or -1.
double After(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  return at == std::string::npos ? -1 : atof(text.c_str() + at + label.size());
}

// One row of a timing log: start, open, io, close in ms from the run start.
struct Row {
  double start, open, io, close;
};
std::vector<Row> Rows(const std::string& csv) {
  std::vector<Row> rows;
  for (auto& line : LogRows(csv)) {
    Row r{};
    int num;
    if (sscanf(line.c_str(), "%d,%lf,%lf,%lf,%lf", &num, &r.start, &r.open, &r.io, &r.close) == 5)
      rows.push_back(r);
  }
  return rows;
}

// Runs a shell command line (ordavi is $ORDAVI); stdout and stderr captured.
RunResult Shell(const std::string& cmd, const TempDir& dir) {
  int rc =
      system(("ORDAVI='" ORDAVI_BINARY "'; (" + cmd + ") >" + (dir / "out") + " 2>" + (dir / "err"))
                 .c_str());
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(dir / "out"), ReadFile(dir / "err")};
}

// A cgroup of this test process in one controller, removed at the end.
struct Cgroup {
  explicit Cgroup(const std::string& controller)
      : path("/sys/fs/cgroup/" + controller + "/ordavi_e2e_" + std::to_string(getpid())),
        ok(mkdir(path.c_str(), 0755) == 0) {}
  ~Cgroup() { rmdir(path.c_str()); }
  bool Set(const std::string& knob, const std::string& value) const {
    FILE* f = fopen((path + "/" + knob).c_str(), "w");
    return f && fputs(value.c_str(), f) >= 0 && fclose(f) == 0;
  }
  // Runs ordavi with `args` inside the cgroup.
  RunResult Run(const std::string& args, const TempDir& d) const {
    return Shell(
        "sh -c 'echo $$ > " + path + "/cgroup.procs; exec \"$0\" " + args + "' \"$ORDAVI\"", d);
  }
  std::string path;
  bool ok;
};

TEST(AsyncPath, VerboseNamesThePathInUse) {
  TempDir d;
  RunResult r = RunOrdavi({"--verbose", "-a", "2", "-w", "4", "-n", "2", "-u", "0", d.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, IoUringForbidden() ? "- asynchronous I/O: POSIX AIO\n"
                                                 : "- asynchronous I/O: io_uring"))
      << r.out;
}

// A transfer's end is stamped when it completes: the frame period must not
// show up in the I/O times of a paced asynchronous run.
TEST(AsyncPath, PacedTransferTimesStayNearTheUnpacedOnes) {
  TempDir d;
  for (const Args& extra : {Args{"-w", "4"}, Args{"-w", "4", "-o"}, Args{"-q", "2", "-b", "1"}}) {
    // At 25 fps a transfer stamped when it is collected holds most of a 40 ms
    // period; 4 KiB transfers take well under a millisecond. The median
    // leaves room for a few slow ones on a disk busy with other work.
    RunResult r = RunOrdavi(Cat(Cat({"-a", "2", "-n", "10", "-f", "25", "-u", "0"}, extra),
                                {"-x", d / "p.csv", d.path()}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Row> rows = Rows(d / "p.csv");
    ASSERT_EQ(rows.size(), 10u);
    std::vector<double> io;
    for (auto& w : rows) {
      EXPECT_TRUE(w.start <= w.open && w.open <= w.io && w.io <= w.close) << extra[0];
      io.push_back(w.io - w.open);
    }
    std::sort(io.begin(), io.end());
    EXPECT_LT(io[4], 10.0) << "the I/O times hold the frame period (" << extra[0] << ")\n"
                           << ReadFile(d / "p.csv");
  }
}

TEST(AsyncPath, StreamRingHasSeveralTransfersInFlight) {
  TempDir d;
  RunResult r = RunOrdavi(
      {"-a", "8", "-s", "-w", "1024", "-n", "32", "-u", "0", "-x", d / "s.csv", d / "stream"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Row> rows = Rows(d / "s.csv");
  ASSERT_EQ(rows.size(), 32u);
  int most = 0;
  for (auto& a : rows) {
    int inFlight = 0;  // transfers queued and not complete when `a` was queued
    for (auto& b : rows) inFlight += b.open <= a.open && b.io > a.open;
    most = std::max(most, inFlight);
  }
  EXPECT_GE(most, 4);
}

// Every worker's buffer exists before the run starts, so the first frames of
// 20 workers all start at once (the buffers alone take tens of ms).
TEST(Threaded, TwentyWorkersStartTheirFirstFramesAtOnce) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr double kWithinMs = 100.0;  // the sanitizers slow thread starts
#else
  constexpr double kWithinMs = 25.0;
#endif
  TempDir d;
  for (const Args& mode : {Args{"-w", "hd"}, Args{}}) {
    ASSERT_EQ(RunOrdavi(Cat(mode, {"-t", "20", "-n", "20", "-u", "0", "-x", d / "t.csv", d.path()}))
                  .status,
              0);
    std::vector<Row> rows = Rows(d / "t.csv");
    ASSERT_EQ(rows.size(), 20u);
    for (size_t i = 0; i < rows.size(); i++) EXPECT_LT(rows[i].start, kWithinMs) << "frame " << i;
  }
}

// A failure during the first hand-out still gives every worker its frame,
// and the steady state runs once more: k + 1 frames.
TEST(Threaded, FailureDuringTheFirstHandOutKeepsEveryWorkersFrame) {
  TempDir d;
  ASSERT_EQ(mkdir((d / "frame000001.tst").c_str(), 0700), 0);
  RunResult r = RunOrdavi({"-t", "4", "-w", "4", "-n", "10", "-u", "0", d.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.err, "/frame000001.tst\"\nError 21: Is a directory\n")) << r.err;
  for (int i : {0, 2, 3, 4})
    EXPECT_TRUE(AllBytesAre(d / ("frame00000" + std::to_string(i) + ".tst"), 't')) << i;
  EXPECT_FALSE(FileExists(d / "frame000005.tst"));
}

// A failure in the frames only collected in the drain is still reported:
// a full disk when writing, a failing device when reading.
TEST(AsyncPath, FailuresInTheLastFramesAreReported) {
  LoopFs fs(32);
  if (!fs.ok()) GTEST_SKIP() << "loop devices or mounting are not available on this host";
  mkdir((fs / "r").c_str(), 0755);
  ASSERT_EQ(Sh("dd if=/dev/zero of=" + (fs / "filler") + " bs=1M count=14"), 0);
  ASSERT_EQ(RunOrdavi({"-w", "1024", "-n", "4", "-u", "0", fs / "r"}).status, 0);
  // Leave about 2.5 MiB free for the writes.
  ASSERT_EQ(
      Sh("fallocate -l $(( $(stat -f -c '%a*%S' " + (fs / "r") + ") - 2621440 )) " + (fs / "hog")),
      0);
  for (const Args& order : {Args{}, Args{"-o"}}) {
    mkdir((fs / "w").c_str(), 0755);
    RunResult w =
        RunOrdavi(Cat(Cat({"-a", "4", "-w", "1024", "-n", "4", "-u", "0"}, order), {fs / "w"}));
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(Contains(w.err, "\nError 28: No space left on device\n")) << w.err;
    EXPECT_EQ(CountOf(w.err, "Error "), 1) << w.err;
    EXPECT_TRUE(Contains(w.out, "  Overall frame rate"));
    Sh("rm -rf " + (fs / "w"));
  }
  ASSERT_TRUE(fs.CutTo(6));
  for (const Args& order : {Args{}, Args{"-o"}}) {
    RunResult r = RunOrdavi(Cat(Cat({"-a", "4", "-n", "4", "-u", "0"}, order), {fs / "r"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "\nError 5: Input/output error\n")) << r.err;
    EXPECT_TRUE(Contains(r.out, "  Overall frame rate"));
  }
}

// A second break ends a slow paced playback at once, with its summary.
TEST(Pacing, SecondBreakEndsPlaybackAtOnce) {
  TempDir d;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "30", "-u", "0", d.path()}).status, 0);
  RunResult r = Shell("start=$(date +%s); $ORDAVI -f 1 -q 100 -b 20 -n 30 -u 0 " + d.path() +
                          " & p=$!; sleep 3; kill -INT $p; sleep 1; kill -INT $p; wait $p; s=$?;"
                          " echo elapsed $(( $(date +%s) - start )); exit $s",
                      d);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountOf(r.out, "User break, stopping"), 2) << r.out;
  EXPECT_TRUE(Contains(r.out, "  Overall frame rate")) << r.out;
  EXPECT_LE(After(r.out, "elapsed "), 7) << "playback went on showing the queued frames";
}

// No semaphore name outlives a paced run, even one killed outright, and a
// name left behind by a killed run with the same process id is no obstacle.
TEST(Pacing, FrameQueueNameNeverLeftNorInTheWay) {
  TempDir d;
  RunResult k =
      RunOrdavi({"-w", "4", "-n", "100", "-f", "20", "-u", "0", d.path()}, 30, 500, SIGKILL);
  EXPECT_EQ(k.status, 128 + SIGKILL);
  EXPECT_FALSE(SemaphoreLeft(k.pid));
  // In a new pid namespace ordavi is process 1: plant that process's name.
  if (Sh("unshare --pid --fork true") != 0) GTEST_SKIP() << "no pid namespaces here";
  sem_t* stale = sem_open("ordavi_1\n", O_CREAT, 0666, 0);
  ASSERT_NE(stale, SEM_FAILED);
  sem_close(stale);
  RunResult r = Shell("unshare --pid --fork $ORDAVI -w 4 -n 5 -f 50 -u 0 " + d.path(), d);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(SemaphoreLeft(1));
  sem_unlink("ordavi_1\n");
}

// A paced run that cannot keep up (a device throttled to 1 MiB/s) drops
// frames, and each period queues or drops exactly one: the run lasts about
// frames + drops periods.
TEST(Pacing, DroppedFramesOfARunThatCannotKeepUp) {
  LoopFs fs(64);
  Cgroup cg("blkio");
  struct stat st;
  if (!fs.ok() || !cg.ok || stat(fs.device().c_str(), &st) != 0)
    GTEST_SKIP() << "no loop device or blkio cgroup";
  std::string limit =
      std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + " 1048576\n";
  ASSERT_TRUE(cg.Set("blkio.throttle.write_bps_device", limit));
  ASSERT_TRUE(cg.Set("blkio.throttle.read_bps_device", limit));
  mkdir((fs / "f").c_str(), 0755);
  TempDir d;
  for (std::string mode : {"-w 64", ""}) {
    RunResult r = cg.Run(mode + " -n 20 -f 50 -q 2 -b 0 -u 0 " + (fs / "f"), d);
    ASSERT_EQ(r.status, 0) << r.err;
    double drops = After(r.out, "Number of dropped frames: ");
    double periods = 20 / After(r.out, "Overall frame rate .... ") * 50;  // of 20 ms
    EXPECT_GT(drops, 10) << mode << r.out;
    EXPECT_NEAR(20 + drops, periods, 0.25 * periods) << mode;
  }
}

// Periods a stopped process missed are not made up in a burst: after the
// stop the frames come one period apart again.
TEST(Pacing, MissedPeriodsAreNotCaughtUp) {
  TempDir d;
  RunResult r = Shell("$ORDAVI -w 4 -n 60 -f 50 -q 60 -u 0 -x " + (d / "g.csv") + " " + d.path() +
                          " & p=$!; sleep 0.4; kill -STOP $p; sleep 0.6; kill -CONT $p; wait $p",
                      d);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Row> rows = Rows(d / "g.csv");
  ASSERT_EQ(rows.size(), 60u);
  int close = 0;  // frames started within 5 ms of the one before
  for (size_t i = 1; i < rows.size(); i++) close += rows[i].start - rows[i - 1].start < 5.0;
  EXPECT_LE(close, 2);
}

// The live screen reads records while frames complete out of order.
TEST(Pacing, OutOfOrderWithTheLiveScreen) {
  TempDir d;
  for (const Args& engine : {Args{"-a", "4"}, Args{"-t", "4"}}) {
    RunResult r =
        RunOrdavi(Cat(engine, {"-o", "-w", "4", "-n", "150", "-f", "100", "-u", "1", d.path()}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }
}

// A frame buffer that cannot be allocated is reported with the system's
// reason, in every engine.
TEST(Limits, BufferAllocationFailureGivesTheReason) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
  TempDir d;
  for (const Engine& e : AllEngines()) {
    std::string opts;
    for (auto& a : e.args) opts += a + " ";
    RunResult r = Shell("ulimit -v 200000; $ORDAVI " + opts + "-w 409600 -n 4 -u 0 " + d.path(), d);
    EXPECT_EQ(r.status, 1) << e.name;
    EXPECT_TRUE(Contains(r.err,
                         "Could not allocate memory for buffer\n***FATAL*** Error 12: Cannot "
                         "allocate memory\n"))
        << e.name << ": " << r.err;
  }
}

// Fewer threads than asked are never used silently.
TEST(Limits, ThreadShortageIsNeverSilent) {
  Cgroup cg("pids");
  if (!cg.ok) GTEST_SKIP() << "no pids cgroup here";
  ASSERT_TRUE(cg.Set("pids.max", "8\n"));
  TempDir d;
  RunResult t = cg.Run("-w 4 -n 40 -t 20 -u 0 " + d.path(), d);
  EXPECT_EQ(t.status, 1) << t.out << t.err;
  EXPECT_TRUE(Contains(t.err, "Cannot create IO worker thread\n***FATAL*** Error 11: ")) << t.err;
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer's runtime does not survive glibc's AIO failing to
  // start a helper thread; the plain and address builds cover that case.
  if (IoUringForbidden()) return;
#endif
  RunResult a = cg.Run("-w 4 -n 60 -a 50 -u 0 " + d.path(), d);
  EXPECT_EQ(a.status, 0) << a.err;
  if (IoUringForbidden())  // glibc's AIO warns it has fewer helper threads
    EXPECT_TRUE(Contains(a.err, "Warning: only ")) << a.err;
  else  // io_uring needs none
    EXPECT_EQ(a.err, "");
}

}  // namespace
