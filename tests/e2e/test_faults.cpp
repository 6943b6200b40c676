// End-to-end: faults provoked for real in every engine - a full file system,
// an I/O error from the device, files that cannot be opened or created, a
// stream shorter than the run, a file system that refuses direct I/O - and
// stops by signal at random moments. Every run must report the failure
// clearly, keep the frames it measured, and leave nothing behind.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int Sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }

// A small ext4 file system on a loop device, mounted below a TempDir.
class LoopFs {
 public:
  explicit LoopFs(int megabytes) {
    image_ = dir_ / "image";
    mnt_ = dir_ / "mnt";
    mkdir(mnt_.c_str(), 0755);
    if (Sh("truncate -s " + std::to_string(megabytes) + "M " + image_) != 0) return;
    if (Sh("mkfs.ext4 -q -F -m 0 " + image_) != 0) return;
    FILE* p = popen(("losetup -f --show " + image_ + " 2>/dev/null").c_str(), "r");
    if (!p) return;
    char dev[64] = "";
    if (fgets(dev, sizeof dev, p)) device_ = std::string(dev).substr(0, strcspn(dev, "\n"));
    pclose(p);
    if (device_.empty()) return;
    ok_ = Sh("mount " + device_ + " " + mnt_) == 0;
  }
  ~LoopFs() {
    if (ok_) Sh("umount -l " + mnt_);
    if (!device_.empty()) Sh("losetup -d " + device_);
  }
  bool ok() const { return ok_; }
  const std::string& mnt() const { return mnt_; }
  // Cuts the backing file short under the mounted file system: reads of the
  // lost blocks then fail with EIO.
  bool CutTo(int megabytes) {
    return Sh("sync") == 0 && Sh("truncate -s " + std::to_string(megabytes) + "M " + image_) == 0 &&
           Sh("losetup -c " + device_) == 0;
  }

 private:
  TempDir dir_;
  std::string image_, mnt_, device_;
  bool ok_ = false;
};

#define SKIP_WITHOUT_LOOP(fs)                                                  \
  if (!(fs).ok()) {                                                            \
    GTEST_SKIP() << "loop devices or mounting are not available on this host"; \
  }

TEST(Faults, FullFileSystemEndsWithTheFramesDone) {
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    LoopFs fs(8);
    SKIP_WITHOUT_LOOP(fs);
    std::string dir = fs.mnt() + "/frames";
    mkdir(dir.c_str(), 0755);
    std::string log = fs.mnt() + "/../log.csv";
    RunResult r = RunOrdavi(With(e, {"-w", "1024", "-n", "60", "-u", "0", "-x", log, dir}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "Error 28: No space left on device\n")) << r.err;
    // The synchronous and threaded engines see the failed or short write;
    // the asynchronous one sees it when it collects the operation.
    EXPECT_TRUE(Has(r.err, "Cannot write to file \"" + dir + "/frame0000") ||
                Has(r.err, "bytes were written") ||
                Has(r.err, "An error occurred waiting for a file I/O to complete\n"))
        << r.err;
    EXPECT_TRUE(Has(r.out, "  Overall frame rate"));
    int rows = int(LogRows(log).size());
    EXPECT_GT(rows, 0);
    EXPECT_LT(rows, 60);
  }
}

TEST(Faults, DeviceIoErrorIsReported) {
  LoopFs fs(32);
  SKIP_WITHOUT_LOOP(fs);
  std::string dir = fs.mnt() + "/frames";
  mkdir(dir.c_str(), 0755);
  ASSERT_EQ(RunOrdavi({"-w", "1024", "-n", "24", "-u", "0", dir}).status, 0);
  ASSERT_TRUE(fs.CutTo(6));
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    RunResult r = RunOrdavi(With(e, {"-n", "24", "-u", "0", dir}), 60);
    EXPECT_EQ(r.status == 0 || (r.status == 1 && Has(r.err, "***FATAL***")), true) << r.err;
    EXPECT_TRUE(Has(r.err, "Error 5: Input/output error\n")) << r.err;
    if (r.status == 0) {
      EXPECT_TRUE(Has(r.out, "  Overall frame rate"));
    }
  }
}

TEST(Faults, UnreadableFrameStopsTheRunClearly) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "8", "-u", "0", dir.path()}).status, 0);
  ASSERT_EQ(chmod((dir / "frame000005.tst").c_str(), 0), 0);
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    // Permissions bind only an unprivileged user: run as nobody.
    RunResult r = RunOrdavi(With(e, {"-n", "8", "-u", "0", dir.path()}), 60, -1, 2, 65534);
    ASSERT_NE(r.status, 126) << "cannot drop privileges here";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "Cannot open file \"" + dir.path() +
                               "/frame000005.tst\"\nError 13: Permission denied\n"))
        << r.err;
    EXPECT_TRUE(Has(r.out, "  Overall frame rate"));
  }
}

TEST(Faults, StreamShorterThanTheRun) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "64", "-s", "-n", "4", "-u", "0", dir / "s"}).status, 0);
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    RunResult r = RunOrdavi(With(e, {"-z", "64", "-s", "-n", "9", "-u", "0", dir / "s"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "Only 0 of 65536 bytes were read")) << r.err;
    EXPECT_TRUE(Has(r.err, "\nError 0: Success\n")) << r.err;
    EXPECT_TRUE(Has(r.out, "  Overall frame rate"));
  }
}

TEST(Faults, DirectIoRefusedUnlessBuffered) {
  TempDir dir;
  std::string mnt = dir / "ramfs";
  mkdir(mnt.c_str(), 0755);
  if (Sh("mount -t ramfs none " + mnt) != 0) GTEST_SKIP() << "cannot mount ramfs here";
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    RunResult r = RunOrdavi(With(e, {"-w", "4", "-n", "3", "-u", "0", mnt}));
    EXPECT_TRUE(Has(r.err, "Cannot create file \"" + mnt + "/frame00000")) << r.err;
    EXPECT_TRUE(Has(r.err, "Error 22: Invalid argument\n")) << r.err;

    RunResult b = RunOrdavi(With(e, {"-B", "-w", "4", "-n", "3", "-u", "0", mnt}));
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(b.err, "");
    EXPECT_TRUE(AllBytesAre(mnt + "/frame000002.tst", e.fill));
    RunResult rb = RunOrdavi(With(e, {"-B", "-n", "3", "-u", "0", mnt}));
    EXPECT_EQ(rb.status, 0) << rb.err;
    EXPECT_EQ(rb.err, "");
  }
  Sh("umount -l " + mnt);
}

// Stops at random moments: every engine, paced and unpaced, with and
// without the live screen; SIGINT, SIGTERM and SIGHUP alike.
TEST(Faults, StopsAtRandomMomentsKeepTheResults) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "64", "-n", "8", "-u", "0", dir.path()}).status, 0);
  std::mt19937 rng(20261206);
  const int signals[] = {2, 15, 1};  // SIGINT, SIGTERM, SIGHUP
  int run = 0;
  for (const Engine& e : AllEngines()) {
    for (bool paced : {false, true}) {
      for (bool display : {false, true}) {
        for (bool write : {false, true}) {
          SCOPED_TRACE(std::string(e.name) + (paced ? " paced" : "") + (display ? " display" : "") +
                       (write ? " write" : " read"));
          std::string log = dir / ("stop" + std::to_string(run) + ".csv");
          std::vector<std::string> args = {"-n", "100000", "-l", "8", "-u", display ? "1" : "0",
                                           "-x", log};
          if (paced) args.insert(args.end(), {"-f", "50"});
          if (write) args.insert(args.end(), {"-w", "64"});
          args.push_back(dir.path());
          int delay = 200 + int(rng() % 900);
          int sig = signals[run % 3];
          run++;
          RunResult r = RunOrdavi(With(e, args), 60, delay, sig);
          EXPECT_EQ(r.status, 0) << "signal " << sig << " after " << delay << " ms\n" << r.err;
          EXPECT_TRUE(Has(r.out, "User break, stopping\n"));
          EXPECT_TRUE(Has(r.out, "  Overall frame rate"));
          EXPECT_TRUE(Has(r.out, "Writing log file...\n"));
          EXPECT_GT(int(LogRows(log).size()), 0);
          EXPECT_FALSE(SemaphoreLeft(r.pid));
        }
      }
    }
  }
}

}  // namespace

namespace {

// Paths and names full of printf characters are plain text to the program.
TEST(Faults, PrintfCharactersInPathsAndNames) {
  TempDir dir;
  std::string odd = dir / "100%s %n %d \"q\"";
  ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  RunResult w = RunOrdavi(
      {"-w", "4", "-n", "2", "--name=take%n_7.dpx", "-u", "0", "-x", odd + "/log.csv", odd});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err, "");
  EXPECT_TRUE(FileExists(odd + "/take%n_7.dpx"));
  EXPECT_TRUE(FileExists(odd + "/take%n_8.dpx"));
  // The quotes in the path are doubled in the log, which stays valid CSV.
  EXPECT_NE(
      ReadFile(odd + "/log.csv").find("TestPath,\"" + dir.path() + "/100%s %n %d \"\"q\"\"\"\n"),
      std::string::npos);
  RunResult r = RunOrdavi({"-n", "2", "--name=take%n_7.dpx", "-u", "0", odd});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
}

}  // namespace

namespace {

// A paced run that ends through a fatal error (here the asynchronous
// engine's failed create while it fills its ring) removes its semaphore too.
TEST(Faults, FatalPacedRunLeavesNoSemaphore) {
  TempDir dir;
  RunResult r =
      RunOrdavi({"-a", "2", "-f", "50", "-w", "4", "-n", "3", "-u", "0", dir / "no/such"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(Has(r.err, "***FATAL***")) << r.err;
  EXPECT_FALSE(SemaphoreLeft(r.pid));
}

}  // namespace
