// End-to-end: the asynchronous and threaded paths, the waits of paced runs
// under stops, failing devices and limits, and the live screen of real runs
// (its exact text is the unit tests' business; here it is its shape).
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// The number after `label` in `text`, or -1.
double After(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  return at == std::string::npos ? -1 : atof(text.c_str() + at + label.size());
}

// The start, open, io and close stamps (ms) of a timing log's rows.
struct Row {
  double start, open, io, close;
};
std::vector<Row> Rows(const std::string& csv) {
  std::vector<Row> rows;
  for (auto& line : LogRows(csv)) {
    Row& r = rows.emplace_back();
    sscanf(line.c_str(), "%*d,%lf,%lf,%lf,%lf", &r.start, &r.open, &r.io, &r.close);
  }
  return rows;
}

// A transfer's end is stamped when it completes: the 200 ms period of a
// paced write or read must not show in its I/O times (4 KiB take far less;
// the median leaves room for a few slow ones on a busy disk). An unpaced
// stream keeps several transfers in flight, on the path --verbose names,
// and each engine's final drain traces its own line.
TEST(AsyncPath, PacedTransferTimesAndTransfersInFlight) {
  TempDir d;
  for (std::string extra : {"-w 4", "-w 4 -o", "-q 2 -b 1"}) {
    RunOk(Words("-a 2 -n 6 -f 5 -u 0 -x " + (d / "p.csv") + " " + extra + " " + d.path()));
    std::vector<double> io;
    for (auto& w : Rows(d / "p.csv")) {
      EXPECT_TRUE(w.start <= w.open && w.open <= w.io && w.io <= w.close) << extra;
      io.push_back(w.io - w.open);
    }
    ASSERT_EQ(io.size(), 6u);
    std::sort(io.begin(), io.end());
    EXPECT_LT(io[3], 100.0) << extra << ": I/O times hold the period\n" << ReadFile(d / "p.csv");
  }
  RunResult r =
      RunOk(Words("--verbose -a 8 -s -w 1024 -n 32 -u 0 -x " + (d / "s.csv") + " " + (d / "s")));
  EXPECT_TRUE(Contains(r.out, std::string("- asynchronous I/O: ") +
                                  (IoUringForbidden() ? "POSIX AIO\n" : "io_uring")));
  const std::vector<Row> rows = Rows(d / "s.csv");
  long most = 0;  // transfers queued and not complete when one was queued
  for (auto& a : rows)
    most = std::max(most, std::count_if(rows.begin(), rows.end(), [&](const Row& b) {
                      return b.open <= a.open && b.io > a.open;
                    }));
  EXPECT_TRUE(rows.size() == 32 && most >= 4) << most;
  for (std::string drain : {"- Waiting for final I/O ", "- waiting for final I/O "}) {
    const bool write = drain[2] == 'W';
    r = RunOk(Words("--verbose -a 4 -n 8 -u 0 " + std::string(write ? "-w 4 " : "") + d.path()));
    std::string lines;
    for (const std::string& line : SplitLines(r.out))
      if (Contains(line, "final I/O")) lines += line.substr(line.find(": ") + 2) + "\n";
    EXPECT_EQ(lines, drain + "0\n" + drain + "1\n" + drain + "2\n" + drain + "3\n");
  }
}

// Every worker starts its first frame at once: on a frozen file system each
// create waits, and every frame has started before any create ended.
TEST(Threaded, TwentyWorkersStartTheirFirstFramesAtOnce) {
  TempDir d;
  LoopFs fs(16);
  SKIP_WITHOUT_LOOP(fs);
  ASSERT_TRUE(fs.Freeze(true));
  RunOptions o;
  o.whileRunning = [&fs](int pid) {
    // Thaw once twenty threads wait on the frozen file system.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (int waiting = 0, ms = 0; waiting < 20 && ms < 30000; ms += 10, usleep(10000)) {
      waiting = 0;
      for (const std::string& task : ListDir(tasks))
        waiting += Contains(ReadFile(tasks + task + "/stat"), ") D ");
    }
    fs.Freeze(false);
  };
  RunResult r =
      RunOrdavi(Words("-t 20 -n 20 -w 4 -u 0 -x " + (d / "t.csv") + " " + fs.frames()), o);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Row> rows = Rows(d / "t.csv");
  ASSERT_EQ(rows.size(), 20u);
  double lastStart = 0, firstOpen = 1e30;
  for (const Row& row : rows) lastStart = std::max(lastStart, row.start);
  for (const Row& row : rows) firstOpen = std::min(firstOpen, row.open);
  EXPECT_LT(lastStart, firstOpen) << ReadFile(d / "t.csv");
}

// A failure during the first hand-out still gives every worker its frame,
// and the steady state runs once more: k + 1 frames.
TEST(Threaded, FailureDuringTheFirstHandOutKeepsEveryWorkersFrame) {
  TempDir d;
  ASSERT_EQ(mkdir((d / "frame000001.tst").c_str(), 0700), 0);
  RunResult r = RunOrdavi(Words("-t 4 -w 4 -n 10 -u 0 " + d.path()));
  EXPECT_TRUE(r.status == 2 && Contains(r.err, "/frame000001.tst\"\nError 21: Is a directory\n"))
      << r.err;
  for (int i : {0, 2, 3, 4})
    EXPECT_TRUE(AllBytesAre(d / ("frame00000" + std::to_string(i) + ".tst"), 't')) << i;
  EXPECT_FALSE(FileExists(d / "frame000005.tst"));
}

TEST(AsyncPath, FailuresInTheLastFramesAreReported) {
  LoopFs fs(32);
  SKIP_WITHOUT_LOOP(fs);
  ASSERT_EQ(Sh("dd if=/dev/zero of=" + (fs / "filler") + " bs=1M count=14"), 0);
  mkdir((fs / "r").c_str(), 0755);
  RunOk(Words("-w 1024 -n 4 -u 0 " + (fs / "r")));
  // Leave about 2.5 MiB free for the writes.
  ASSERT_EQ(
      Sh("fallocate -l $(( $(stat -f -c '%a*%S' " + fs.frames() + ") - 2621440 )) " + (fs / "hog")),
      0);
  for (std::string run : {"-w 1024 ", "-w 1024 -o ", "", "-o "}) {
    const bool write = run != "" && run != "-o ";
    ASSERT_TRUE(run != "" || fs.CutTo(6));  // the device fails from the reads on
    RunResult r = RunOrdavi(Words("-a 4 -n 4 -u 0 " + run + (write ? fs.frames() : fs / "r")));
    EXPECT_TRUE(r.status == 2 && Contains(r.out, "  Overall frame rate")) << r.err;
    EXPECT_TRUE(Contains(
        r.err, write ? "\nError 28: No space left on device\n" : "\nError 5: Input/output error\n"))
        << run << r.err;
    EXPECT_TRUE(!write || CountOf(r.err, "Error ") == 1) << r.err;
    Sh("rm -f " + fs.frames() + "/*");
  }
}

// Breaks sent once the run has its handler: a second one ends a slow paced
// playback at once, with its summary; a run killed outright leaves no name
// of its frame queue, and a name left by a killed run with the same process
// id is no obstacle.
TEST(Pacing, BreaksKillsAndTheFrameQueueName) {
  TempDir d;
  RunOk(Words("-w 4 -n 30 -u 0 " + d.path()));
  RunOptions o;
  o.whileRunning = [](int pid) {
    WaitForHandler(pid, SIGINT);
    for (int i = 0; i < 2; i++) sleep(1), kill(pid, SIGINT);
  };
  const auto begin = std::chrono::steady_clock::now();
  RunResult r = RunOrdavi(Words("-f 1 -q 100 -b 20 -n 30 -u 0 " + d.path()), o);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10))
      << "queued frames shown";
  EXPECT_TRUE(r.status == 0 && Contains(r.out, "  Overall frame rate")) << r.err;
  EXPECT_EQ(CountOf(r.out, "User break, stopping"), 2) << r.out;
  o.whileRunning = [](int pid) {
    WaitForHandler(pid, SIGINT);
    usleep(300000);
    kill(pid, SIGKILL);
  };
  RunResult k = RunOrdavi(Words("-w 4 -n 100 -f 20 -u 0 " + d.path()), o);
  EXPECT_TRUE(k.status == 128 + SIGKILL && !SemaphoreLeft(k.pid)) << k.status;
  // In a new pid namespace ordavi is process 1: plant its name.
  if (Sh("unshare --pid --fork true") != 0) GTEST_SKIP() << "no pid namespaces here";
  sem_t* stale = sem_open("ordavi_1\n", O_CREAT, 0666, 0);
  ASSERT_NE(stale, SEM_FAILED);
  sem_close(stale);
  RunResult n = Shell("unshare --pid --fork $ORDAVI -w 4 -n 5 -f 50 -u 0 " + d.path());
  EXPECT_TRUE(n.status == 0 && n.err == "") << n.err;
  EXPECT_FALSE(SemaphoreLeft(1));
  sem_unlink("ordavi_1\n");
}

// A paced run on a device throttled to 1 MiB/s drops frames, one in each
// period that queues none: the run lasts about frames + drops periods (a
// little longer, as the queued frames drain and as a busy machine wakes the
// pacing thread late; never shorter).
TEST(Pacing, DroppedFramesOfARunThatCannotKeepUp) {
  LoopFs fs(64);
  SKIP_WITHOUT_LOOP(fs);
  for (std::string mode : {"-w 64", ""}) {
    RunResult r = InCgroup("blkio", fs.Throttle(1048576),
                           mode + " -n 20 -f 50 -q 2 -b 0 -u 0 " + fs.frames());
    if (r.status == 77) GTEST_SKIP() << "no blkio cgroup here";
    ASSERT_EQ(r.status, 0) << r.err;
    double drops = After(r.out, "Number of dropped frames: ");
    double periods = 20 / After(r.out, "Overall frame rate .... ") * 50;  // of 20 ms
    EXPECT_GT(drops, 10) << mode << r.out;
    EXPECT_TRUE(20 + drops <= 1.1 * periods + 2 && 20 + drops >= 0.65 * periods)
        << mode << ": " << drops << " drops in " << periods << " periods";
  }
}

// Periods a stopped process missed are not made up in a burst: after the
// stop (from frame 10 on, for 0.6 s) the frames come one period apart again.
TEST(Pacing, MissedPeriodsAreNotCaughtUp) {
  TempDir d;
  RunOptions o;
  o.whileRunning = [&d](int pid) {
    for (int ms = 0; ms < 20000 && !FileExists(d / "frame000010.tst"); ms++) usleep(1000);
    kill(pid, SIGSTOP);
    usleep(600000);
    kill(pid, SIGCONT);
  };
  RunResult r =
      RunOrdavi(Words("-w 4 -n 60 -f 50 -q 60 -u 0 -x " + (d / "g.csv") + " " + d.path()), o);
  std::vector<std::string> rows = LogRows(d / "g.csv");
  ASSERT_TRUE(r.status == 0 && rows.size() == 60) << r.err;
  // The capture thread's own stamps (frametime): made-up periods would
  // release some 30 frames back to back (within a quarter period); a late
  // wake-up takes the next grid point, which may lie close, but only once.
  int close = 0;
  for (size_t i = 1; i < rows.size(); i++)
    close += std::stod(Fields(rows[i]).at(5)) - std::stod(Fields(rows[i - 1]).at(5)) < 5.0;
  EXPECT_LT(close, 10) << ReadFile(d / "g.csv");
}

TEST(Pacing, OutOfOrderWithTheLiveScreen) {
  TempDir d;
  for (std::string engine : {"-a 4 ", "-t 4 "})
    EXPECT_EQ(RunOk(Words(engine + "-o -w 4 -n 150 -f 100 -u 1 " + d.path())).err, "");
}

TEST(Limits, BufferAllocationFailureGivesTheReason) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
  TempDir d;
  for (std::string engine : {"", "-a 3 ", "-t 3 "}) {
    RunResult r = Shell("ulimit -v 200000; $ORDAVI " + engine + "-w 409600 -n 4 -u 0 " + d.path());
    EXPECT_TRUE(r.status == 1 && Contains(r.err,
                                          "Could not allocate memory for buffer\n***FATAL*** "
                                          "Error 12: Cannot allocate memory\n"))
        << engine << ": " << r.err;
  }
}

// Fewer threads than asked are never used silently: too few workers are
// fatal; glibc's AIO warns it has fewer helper threads, io_uring needs none.
TEST(Limits, ThreadShortageIsNeverSilent) {
  TempDir d;
  const std::string cap = "echo 8 > $cg/pids.max";
  RunResult t = InCgroup("pids", cap, "-w 4 -n 40 -t 20 -u 0 " + d.path());
  if (t.status == 77) GTEST_SKIP() << "no pids cgroup here";
  EXPECT_TRUE(t.status == 1 &&
              Contains(t.err, "Cannot create IO worker thread\n***FATAL*** Error 11: "))
      << t.err;
#if defined(__SANITIZE_THREAD__)  // its runtime dies when glibc's AIO fails to start a thread
  if (IoUringForbidden()) return;
#endif
  RunResult a = InCgroup("pids", cap, "-w 4 -n 60 -a 50 -u 0 " + d.path());
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_EQ(Contains(a.err, "Warning: only "), IoUringForbidden()) << a.err;
  EXPECT_TRUE(IoUringForbidden() || a.err == "") << a.err;
}

// Every screen is whole (its paced-run and period blocks and ten histogram
// rows), counts 2 MB a frame and is shown only when more frames completed.
TEST(DisplayE2E, PacedRunWithPeriodShowsCompleteScreens) {
  TempDir dir;
  const std::string out = RunOk(Words("-w 2048 -n 60 -f 25 -u 1 -h 2 " + dir.path())).out;
  const std::regex screen(
      R"(Test parameters:      -w2048 -n60 -f25 -q25 \n.*\nFrames transferred:   (\d+) \((\d+)\.000)"
      R"( MB\)\n(.*\n){3}Dropped frames:       .*\n(.*\n){9}I/O stats over the last .*\n(.*\n){4})"
      R"((( {6}| {2}[ \d]{2}\d%) \|[ *]{65} {4}\n){10}.*\n  ms  <0\.1)");
  int screens = 0, last = 0;
  for (std::sregex_iterator m(out.begin(), out.end(), screen), end; m != end; ++m, ++screens) {
    EXPECT_EQ(std::stoi((*m)[2]), 2 * std::stoi((*m)[1]));
    EXPECT_GT(std::stoi((*m)[1]), last);
    last = std::stoi((*m)[1]);
  }
  EXPECT_TRUE(screens >= 1 && screens == CountOf(out, "Test parameters:")) << out;
  EXPECT_FALSE(Contains(out, "\033")) << "the screen is cleared on a terminal only";
  EXPECT_LT(out.rfind("Histogram of frame completion times:"), out.find("Overall frame rate"));
}

// No screen with -u 0 or --verbose; with a 30 s interval one screen, and the
// run still ends as soon as its 1.6 s of frames are done.
TEST(DisplayE2E, UpdateIntervalAndVerboseMode) {
  for (auto [opt, screens] : {std::pair{"-u0", 0}, {"--verbose", 0}, {"-u30", 1}}) {
    TempDir dir;
    const auto begin = std::chrono::steady_clock::now();
    RunResult r = RunOrdavi(Words("-w 1024 -n 40 -f 25 " + std::string(opt) + " " + dir.path()));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15)) << opt;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountOf(r.out, "Test parameters:"), screens) << opt << r.out;
    EXPECT_TRUE(Contains(r.out, "Overall frame rate")) << opt;
  }
}

// Frame 2's directory lies on a file system frozen for 3 s, so its create
// waits while the other workers write every later frame: until it is done,
// no screen may count more than two frames.
TEST(DisplayE2E, OutOfOrderFramesAreShownOnlyInOrder) {
  TempDir dir;
  LoopFs fs(16);
  SKIP_WITHOUT_LOOP(fs);
  ASSERT_EQ(symlink(fs.frames().c_str(), (dir / "part02").c_str()), 0);
  ASSERT_TRUE(fs.Freeze(true));
  RunOptions o;
  o.whileRunning = [&fs](int) {
    usleep(3000000);
    fs.Freeze(false);
  };
  RunResult r = RunOrdavi(Words("-t 3 -o -d 1 -w 4 -n 10 -u 1 " + dir.path()), o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(FileExists(fs.frames() + "/frame000002.tst"));
  const std::regex shown("Frames transferred:   (\\d+) \\(");
  int held = 0;  // screens shown while frame 2 was held
  for (std::sregex_iterator m(r.out.begin(), r.out.end(), shown), end; m != end; ++m) {
    const int n = std::stoi((*m)[1]);
    EXPECT_TRUE(n <= 2 || n == 10) << n << " frames shown\n" << r.out;
    held += n < 10;
  }
  EXPECT_GE(held, 1) << r.out;
}

}  // namespace
