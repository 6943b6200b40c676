// End-to-end: the asynchronous paths and the waits of paced runs - honest
// transfer times, overlap, worker buffers outside the measured run, failures
// in the last frames, stops, the frame queue's name and thread limits.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int Sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }

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
  std::string full =
      "ORDAVI='" ORDAVI_BINARY "'; (" + cmd + ") >" + (dir / "out") + " 2>" + (dir / "err");
  int rc = system(full.c_str());
  RunResult r;
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = ReadFile(dir / "out");
  r.err = ReadFile(dir / "err");
  return r;
}

// A small ext4 file system on a loop device, mounted below a TempDir.
class LoopFs {
 public:
  explicit LoopFs(int megabytes) : image_(dir_ / "image"), mnt_(dir_ / "mnt") {
    mkdir(mnt_.c_str(), 0755);
    if (Sh("truncate -s " + std::to_string(megabytes) + "M " + image_ +
           " && mkfs.ext4 -q -F -m 0 " + image_) != 0)
      return;
    FILE* p = popen(("losetup -f --show " + image_ + " 2>/dev/null").c_str(), "r");
    char dev[64] = "";
    if (p && fgets(dev, sizeof dev, p)) device_ = std::string(dev).substr(0, strcspn(dev, "\n"));
    if (p) pclose(p);
    ok_ = !device_.empty() && Sh("mount " + device_ + " " + mnt_) == 0;
  }
  ~LoopFs() {
    if (ok_) Sh("umount -l " + mnt_);
    if (!device_.empty()) Sh("losetup -d " + device_);
  }
  bool ok() const { return ok_; }
  std::string operator/(const std::string& name) const { return mnt_ + "/" + name; }
  const std::string& device() const { return device_; }
  bool CutTo(int megabytes) {  // reads of the lost blocks then fail with EIO
    return Sh("sync && truncate -s " + std::to_string(megabytes) + "M " + image_ +
              " && losetup -c " + device_) == 0;
  }

 private:
  TempDir dir_;
  std::string image_, mnt_, device_;
  bool ok_ = false;
};

std::vector<std::string> Args(std::initializer_list<std::string> a) { return a; }

TEST(AsyncPath, VerboseNamesThePathInUse) {
  TempDir d;
  RunResult r = RunOrdavi({"--verbose", "-a", "2", "-w", "4", "-n", "2", "-u", "0", d.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, IoUringForbidden() ? "- asynchronous I/O: POSIX AIO\n"
                                            : "- asynchronous I/O: io_uring"))
      << r.out;
}

// A paced asynchronous run stamps each transfer's end when it completes: a
// 20 ms frame period must not show up in the I/O times.
TEST(AsyncPath, PacedTransferTimesStayNearTheUnpacedOnes) {
  TempDir d;
  for (auto extra : {Args({"-w", "4"}), Args({"-w", "4", "-o"}), Args({"-q", "4", "-b", "1"})}) {
    std::vector<std::string> args = {"-a", "2", "-n", "10", "-f", "50", "-u", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-x", d / "p.csv", d.path()});
    RunResult r = RunOrdavi(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Row> rows = Rows(d / "p.csv");
    ASSERT_EQ(rows.size(), 10u);
    double sum = 0;
    for (auto& row : rows) {
      EXPECT_LE(row.start, row.open);
      EXPECT_LE(row.open, row.io);
      EXPECT_LE(row.io, row.close);
      sum += row.io - row.open;
    }
    EXPECT_LT(sum / 10, 8.0) << "average I/O time holds the frame period (" << extra[0] << ")";
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

// Every worker's buffer exists before the run starts: the first frame of
// each of 20 workers starts right away (well under a millisecond here; the
// buffers alone took tens of milliseconds; sanitizers slow thread starts).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kFirstFramesWithinMs = 100.0;
#else
constexpr double kFirstFramesWithinMs = 25.0;
#endif
TEST(Threaded, TwentyWorkersStartTheirFirstFramesAtOnce) {
  TempDir d;
  for (auto mode : {Args({"-w", "hd"}), Args({})}) {
    std::vector<std::string> args = mode;
    args.insert(args.end(), {"-t", "20", "-n", "20", "-u", "0", "-x", d / "t.csv", d.path()});
    RunResult r = RunOrdavi(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Row> rows = Rows(d / "t.csv");
    ASSERT_EQ(rows.size(), 20u);
    for (size_t i = 0; i < rows.size(); i++)
      EXPECT_LT(rows[i].start, kFirstFramesWithinMs) << "frame " << i;
  }
}

// A failure during the initial hand-out still gives every worker its first
// frame, and the steady state runs once more: k + 1 frames.
TEST(Threaded, FailureDuringTheFirstHandOutKeepsEveryWorkersFrame) {
  TempDir d;
  ASSERT_EQ(mkdir((d / "frame000001.tst").c_str(), 0700), 0);
  RunResult r = RunOrdavi({"-t", "4", "-w", "4", "-n", "10", "-u", "0", d.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.err, "/frame000001.tst\"\nError 21: Is a directory\n")) << r.err;
  for (const char* f : {"frame000000.tst", "frame000002.tst", "frame000003.tst", "frame000004.tst"})
    EXPECT_TRUE(AllBytesAre(d / f, 't')) << f;
  EXPECT_FALSE(FileExists(d / "frame000005.tst"));
}

// A failure in the frames that are only collected in the drain is still
// reported (full disk when writing, a failing device when reading).
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
  for (auto order : {Args({}), Args({"-o"})}) {
    mkdir((fs / "w").c_str(), 0755);
    std::vector<std::string> args = {"-a", "4", "-w", "1024", "-n", "4", "-u", "0"};
    args.insert(args.end(), order.begin(), order.end());
    args.push_back(fs / "w");
    RunResult w = RunOrdavi(args);
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(Has(w.err, "\nError 28: No space left on device\n")) << w.err;
    EXPECT_EQ(CountOf(w.err, "Error "), 1) << w.err;
    EXPECT_TRUE(Has(w.out, "  Overall frame rate"));
    Sh("rm -rf " + (fs / "w"));
  }
  ASSERT_TRUE(fs.CutTo(6));
  for (auto order : {Args({}), Args({"-o"})}) {
    std::vector<std::string> args = {"-a", "4", "-n", "4", "-u", "0"};
    args.insert(args.end(), order.begin(), order.end());
    args.push_back(fs / "r");
    RunResult r = RunOrdavi(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "\nError 5: Input/output error\n")) << r.err;
    EXPECT_TRUE(Has(r.out, "  Overall frame rate"));
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
  EXPECT_TRUE(Has(r.out, "  Overall frame rate")) << r.out;
  int elapsed = 99;
  size_t at = r.out.find("elapsed ");
  if (at != std::string::npos) sscanf(r.out.c_str() + at, "elapsed %d", &elapsed);
  EXPECT_LE(elapsed, 7) << "playback went on showing the queued frames";
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
  const std::string cg = "/sys/fs/cgroup/blkio/ordavi_e2e_" + std::to_string(getpid());
  LoopFs fs(64);
  if (!fs.ok() || mkdir(cg.c_str(), 0755) != 0) GTEST_SKIP() << "no loop device or blkio cgroup";
  struct stat st;
  ASSERT_EQ(stat(fs.device().c_str(), &st), 0);
  std::string dev = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  for (const char* knob : {"write_bps_device", "read_bps_device"}) {
    FILE* f = fopen((cg + "/blkio.throttle." + knob).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "%s 1048576\n", dev.c_str());
    ASSERT_EQ(fclose(f), 0);
  }
  mkdir((fs / "f").c_str(), 0755);
  TempDir d;
  for (std::string mode : {"-w 64", ""}) {
    RunResult r = Shell("sh -c 'echo $$ > " + cg + "/cgroup.procs; exec \"$0\" " + mode +
                            " -n 20 -f 50 -q 2 -b 0 -u 0 -x " + (d / "d.csv") + " " + (fs / "f") +
                            "' \"$ORDAVI\"",
                        d);
    ASSERT_EQ(r.status, 0) << r.err;
    int drops = -1;
    double fps = 0;
    size_t at = r.out.find("Number of dropped frames: ");
    if (at != std::string::npos) sscanf(r.out.c_str() + at, "Number of dropped frames: %d", &drops);
    at = r.out.find("Overall frame rate .... ");
    if (at != std::string::npos) sscanf(r.out.c_str() + at, "Overall frame rate .... %lf", &fps);
    EXPECT_GT(drops, 10) << mode << r.out;
    ASSERT_GT(fps, 0);
    double periods = 20 / fps * 50;  // the run's length in 20 ms periods
    EXPECT_NEAR(20 + drops, periods, 0.25 * periods) << mode;
  }
  rmdir(cg.c_str());
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
  for (auto engine : {Args({"-a", "4"}), Args({"-t", "4"})}) {
    std::vector<std::string> args = engine;
    args.insert(args.end(), {"-o", "-w", "4", "-n", "150", "-f", "100", "-u", "1", d.path()});
    RunResult r = RunOrdavi(args);
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
    EXPECT_TRUE(Has(r.err,
                    "Could not allocate memory for buffer\n***FATAL*** Error 12: Cannot "
                    "allocate memory\n"))
        << e.name << ": " << r.err;
  }
}

// Fewer threads than asked are never used silently.
TEST(Limits, ThreadShortageIsNeverSilent) {
  const std::string cg = "/sys/fs/cgroup/pids/ordavi_e2e_" + std::to_string(getpid());
  if (mkdir(cg.c_str(), 0755) != 0) GTEST_SKIP() << "no pids cgroup here";
  TempDir d;
  FILE* max = fopen((cg + "/pids.max").c_str(), "w");
  ASSERT_NE(max, nullptr);
  fputs("8\n", max);
  ASSERT_EQ(fclose(max), 0);
  auto capped = [&](const std::string& args) {
    return Shell("sh -c 'echo $$ > " + cg + "/cgroup.procs; exec \"$0\" " + args + " -u 0 " +
                     d.path() + "' \"$ORDAVI\"",
                 d);
  };
  RunResult t = capped("-w 4 -n 40 -t 20");
  EXPECT_EQ(t.status, 1) << t.out << t.err;
  EXPECT_TRUE(Has(t.err, "Cannot create IO worker thread\n***FATAL*** Error 11: ")) << t.err;
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer's runtime does not survive glibc's AIO failing to
  // start a helper thread; the plain and address builds cover that case.
  if (IoUringForbidden()) {
    rmdir(cg.c_str());
    return;
  }
#endif
  RunResult a = capped("-w 4 -n 60 -a 50");
  EXPECT_EQ(a.status, 0) << a.err;
  if (IoUringForbidden())
    EXPECT_TRUE(Has(a.err, "Warning: only ")) << a.err;
  else
    EXPECT_EQ(a.err, "");  // io_uring needs no helper threads
  rmdir(cg.c_str());
}

}  // namespace
