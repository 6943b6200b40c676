// End-to-end: faults provoked for real in every engine - a full file system,
// an I/O error from the device, files that cannot be opened or created, a
// stream shorter than the run, a file system that refuses direct I/O - and
// stops by signal at random moments. Every run must report the failure
// clearly, keep the frames it measured, and leave nothing behind.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

TEST(Faults, FullFileSystemEndsWithTheFramesDone) {
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    LoopFs fs(8);
    SKIP_WITHOUT_LOOP(fs);
    const std::string dir = fs.frames(), log = fs.frames() + "/../../log.csv";
    RunResult r = RunOrdavi(With(e, {"-w", "1024", "-n", "60", "-u", "0", "-x", log, dir}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "Error 28: No space left on device\n")) << r.err;
    // The synchronous and threaded engines see the failed or short write;
    // the asynchronous one sees it when it collects the operation.
    EXPECT_TRUE(Contains(r.err, "Cannot write to file \"" + dir + "/frame0000") ||
                Contains(r.err, "bytes were written") ||
                Contains(r.err, "An error occurred waiting for a file I/O to complete\n"))
        << r.err;
    EXPECT_TRUE(Contains(r.out, "  Overall frame rate"));
    const size_t rows = LogRows(log).size();
    EXPECT_GT(rows, 0u);
    EXPECT_LT(rows, 60u);
  }
}

TEST(Faults, DeviceIoErrorIsReported) {
  LoopFs fs(32);
  SKIP_WITHOUT_LOOP(fs);
  RunOk({"-w", "1024", "-n", "24", "-u", "0", fs.frames()});
  ASSERT_TRUE(fs.CutTo(6));
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    RunResult r = RunOrdavi(With(e, {"-n", "24", "-u", "0", fs.frames()}), 60);
    EXPECT_TRUE(r.status == 0 || (r.status == 1 && Contains(r.err, "***FATAL***"))) << r.err;
    EXPECT_TRUE(Contains(r.err, "Error 5: Input/output error\n")) << r.err;
    if (r.status == 0) {
      EXPECT_TRUE(Contains(r.out, "  Overall frame rate"));
    }
  }
}

TEST(Faults, UnreadableFrameAndShortStreamAreReported) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  RunOk({"-w", "4", "-n", "8", "-u", "0", dir.path()});
  ASSERT_EQ(chmod((dir / "frame000005.tst").c_str(), 0), 0);
  RunOk({"-w", "64", "-s", "-n", "4", "-u", "0", dir / "s"});
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    // Permissions bind only an unprivileged user: run as nobody.
    RunResult r = RunOrdavi(With(e, {"-n", "8", "-u", "0", dir.path()}), 60, -1, 2, 65534);
    ASSERT_NE(r.status, 126) << "cannot drop privileges here";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "Cannot open file \"" + dir.path() +
                                    "/frame000005.tst\"\nError 13: Permission denied\n"))
        << r.err;
    EXPECT_TRUE(Contains(r.out, "  Overall frame rate"));

    RunResult s = RunOrdavi(With(e, {"-z", "64", "-s", "-n", "9", "-u", "0", dir / "s"}));
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(Contains(s.err, "Only 0 of 65536 bytes were read")) << s.err;
    EXPECT_TRUE(Contains(s.err, "\nError 0: Success\n")) << s.err;
    EXPECT_TRUE(Contains(s.out, "  Overall frame rate"));
  }
}

TEST(Faults, DirectIoRefusedUnlessBuffered) {
  TempDir dir;
  const std::string mnt = dir / "ramfs";
  mkdir(mnt.c_str(), 0755);
  if (Sh("mount -t ramfs none " + mnt) != 0) GTEST_SKIP() << "cannot mount ramfs here";
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    RunResult r = RunOrdavi(With(e, {"-w", "4", "-n", "3", "-u", "0", mnt}));
    EXPECT_TRUE(Contains(r.err, "Cannot create file \"" + mnt + "/frame00000")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Error 22: Invalid argument\n")) << r.err;
    for (auto args : {std::vector<std::string>{"-w", "4"}, std::vector<std::string>{}}) {
      args.insert(args.end(), {"-B", "-n", "3", "-u", "0", mnt});
      RunResult b = RunOrdavi(With(e, args));
      EXPECT_EQ(b.status, 0) << b.err;
      EXPECT_EQ(b.err, "");
    }
    EXPECT_TRUE(AllBytesAre(mnt + "/frame000002.tst", e.fill));
  }
  Sh("umount -l " + mnt);
}

// Stops at random moments: every engine, paced and unpaced, with and
// without the live screen, writing and reading; SIGINT, SIGTERM and SIGHUP.
TEST(Faults, StopsAtRandomMomentsKeepTheResults) {
  TempDir dir;
  RunOk({"-w", "64", "-n", "8", "-u", "0", dir.path()});
  std::mt19937 rng(20261206);
  const int signals[] = {2, 15, 1};
  for (int run = 0; run < 24; run++) {
    const Engine& e = AllEngines()[size_t(run / 8)];
    const bool paced = run & 4, display = run & 2, write = run & 1;
    const std::string log = dir / ("stop" + std::to_string(run) + ".csv");
    std::vector<std::string> args = {"-n", "100000", "-l", "8", "-u", display ? "1" : "0",
                                     "-x", log};
    if (paced) args.insert(args.end(), {"-f", "50"});
    if (write) args.insert(args.end(), {"-w", "64"});
    args.push_back(dir.path());
    const int delay = 200 + int(rng() % 900), sig = signals[run % 3];
    SCOPED_TRACE(testing::Message() << e.name << (paced ? " paced" : "")
                                    << (display ? " display" : "") << (write ? " write" : " read")
                                    << ", signal " << sig << " after " << delay << " ms");
    // The delay counts from the moment ordavi catches the signal: a break
    // before that simply ends a program that has not measured anything.
    RunOptions o;
    o.timeoutSec = 60;
    o.whileRunning = [delay, sig](int pid) {
      if (WaitForHandler(pid, sig)) usleep(useconds_t(delay) * 1000);
      kill(pid, sig);
    };
    RunResult r = RunOrdavi(With(e, args), o);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* line :
         {"User break, stopping\n", "  Overall frame rate", "Writing log file...\n"})
      EXPECT_TRUE(Contains(r.out, line)) << line;
    EXPECT_GT(LogRows(log).size(), 0u);
    EXPECT_FALSE(SemaphoreLeft(r.pid));
  }
}

// Paths and names full of printf characters are plain text to the program.
TEST(Faults, PrintfCharactersInPathsAndNames) {
  TempDir dir;
  const std::string odd = dir / "100%s %n %d \"q\"";
  ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  EXPECT_EQ(
      RunOk({"-w", "4", "-n", "2", "--name=take%n_7.dpx", "-u", "0", "-x", odd + "/log.csv", odd})
          .err,
      "");
  EXPECT_EQ(ListDir(odd), (std::vector<std::string>{"log.csv", "take%n_7.dpx", "take%n_8.dpx"}));
  // The quotes in the path are doubled in the log, which stays valid CSV.
  EXPECT_TRUE(Contains(ReadFile(odd + "/log.csv"),
                       "TestPath,\"" + dir.path() + "/100%s %n %d \"\"q\"\"\"\n"));
  EXPECT_EQ(RunOk({"-n", "2", "--name=take%n_7.dpx", "-u", "0", odd}).err, "");
}

// A paced run that ends through a fatal error (here the asynchronous
// engine's failed create while it fills its ring) removes its semaphore too.
TEST(Faults, FatalPacedRunLeavesNoSemaphore) {
  TempDir dir;
  RunResult r =
      RunOrdavi({"-a", "2", "-f", "50", "-w", "4", "-n", "3", "-u", "0", dir / "no/such"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(Contains(r.err, "***FATAL***")) << r.err;
  EXPECT_FALSE(SemaphoreLeft(r.pid));
}

}  // namespace
