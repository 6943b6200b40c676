// End-to-end: faults provoked for real in every engine (a full file system,
// an I/O error from the device, files that cannot be opened or created, a
// stream shorter than the run, a file system that refuses direct I/O, limits,
// FIFOs, closed or full standard descriptors) and stops by signal at random
// moments. Every run reports the failure clearly, keeps the frames it
// measured, leaves nothing behind and never ends a failed run with 0.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
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
    EXPECT_EQ(r.status, 2) << r.err;
    // Sync and threaded see a failed or short write, async its collection.
    EXPECT_TRUE(Contains(r.err, "Error 28: No space left on device\n") &&
                (Contains(r.err, "Cannot write to file \"" + dir + "/frame0000") ||
                 Contains(r.err, "bytes were written") ||
                 Contains(r.err, "An error occurred waiting for a file I/O to complete\n")))
        << r.err;
    EXPECT_TRUE(Contains(r.out, "  Overall frame rate"));
    EXPECT_TRUE(LogRows(log).size() > 0 && LogRows(log).size() < 60) << LogRows(log).size();
  }
}

TEST(Faults, DeviceIoErrorIsReported) {
  LoopFs fs(32);
  SKIP_WITHOUT_LOOP(fs);
  RunOk({"-w", "1024", "-n", "24", "-u", "0", fs.frames()});
  ASSERT_TRUE(fs.CutTo(6));
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    RunResult r = RunOrdavi(With(e, {"-n", "24", "-u", "0", fs.frames()}));
    EXPECT_TRUE(r.status == 2 || (r.status == 1 && Contains(r.err, "***FATAL***"))) << r.err;
    EXPECT_TRUE(Contains(r.err, "Error 5: Input/output error\n")) << r.err;
    EXPECT_TRUE(r.status == 1 || Contains(r.out, "  Overall frame rate"));
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
    RunResult r =
        RunOrdavi(With(e, {"-n", "8", "-u", "0", dir.path()}), {120, -1, 2, 65534, nullptr});
    ASSERT_NE(r.status, 126) << "cannot drop privileges here";
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Contains(r.err, "Cannot open file \"" + dir.path() +
                                    "/frame000005.tst\"\nError 13: Permission denied\n"))
        << r.err;
    EXPECT_TRUE(Contains(r.out, "  Overall frame rate"));

    RunResult s = RunOrdavi(With(e, {"-z", "64", "-s", "-n", "9", "-u", "0", dir / "s"}));
    EXPECT_EQ(s.status, 2) << s.err;
    EXPECT_TRUE(Contains(s.err, "Only 0 of 65536 bytes were read") &&
                Contains(s.err, "\nError 0: Success\n") && Contains(s.out, "  Overall frame rate"))
        << s.err;
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
    EXPECT_TRUE(Contains(r.err, "Cannot create file \"" + mnt + "/frame00000") &&
                Contains(r.err, "Error 22: Invalid argument\n"))
        << r.err;
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
// io_uring submissions refused for real (by the test's seccomp filter) from
// frame 9 of a stream: refused for a moment, the run completes; refused for
// longer than the program retries (and later let through, or never), it
// reports the failure. Either way no request outlives its buffer: the stream
// holds exactly the frames the log has, all of the engine's 'a'.
TEST(Faults, RefusedIoUringSubmissionsNeverWriteFromFreedBuffers) {
  if (IoUringForbidden()) GTEST_SKIP() << "io_uring is forbidden in this run";
  TempDir d;
  // A request let through after its buffer is freed is not always carried
  // out (its memory may be gone): that case runs three times.
  const struct {
    int count, err;
    size_t frames;
    int status;
  } cases[] = {{1, EAGAIN, 40, 0},  {3, EINTR, 40, 0},   {150, EAGAIN, 9, 2},
               {150, EAGAIN, 9, 2}, {150, EAGAIN, 9, 2}, {1000000, EAGAIN, 9, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " x errno " << c.err);
    unlink((d / "s").c_str());
    RunResult r = Shell(FailingSubmits(10, c.count, c.err) +
                        "$ORDAVI -s -a 4 -w 64 -n 40 -u 0 -x " + (d / "s.csv") + " " + (d / "s"));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(c.status == 2, Contains(r.err, "Cannot write to file")) << r.err;
    // A refused run stops within the frames issued before the refusal (how
    // many of them completed depends on the moment); the file holds exactly
    // the frames the log describes, none sent after its buffer was freed.
    const size_t rows = LogRows(d / "s.csv").size();
    EXPECT_TRUE(c.status == 0 ? rows == c.frames : rows <= c.frames) << rows;
    EXPECT_EQ(FileSizeOf(d / "s"), int64_t(rows) * 65536);
    EXPECT_TRUE(AllBytesAre(d / "s", 'a'));
  }
}

TEST(Faults, StopsAtRandomMomentsKeepTheResults) {
  TempDir dir;
  RunOk({"-w", "64", "-n", "8", "-u", "0", dir.path()});
  std::mt19937 rng(20261206);
  const int signals[] = {2, 15, 1};
  for (int run = 0; run < 24; run++) {
    const Engine& e = AllEngines()[size_t(run / 8)];
    const bool paced = run & 4, display = run & 2, write = run & 1;
    const std::string log = dir / ("stop" + std::to_string(run) + ".csv");
    std::vector<std::string> args = {"-n", "99999", "-l", "8", "-u", display ? "1" : "0",
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
    RunResult r = RunOrdavi(With(e, args), {60, -1, 2, -1, [delay, sig](int pid) {
                                              if (WaitForHandler(pid, sig)) usleep(delay * 1000);
                                              kill(pid, sig);
                                            }});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* line :
         {"User break, stopping\n", "  Overall frame rate", "Writing log file...\n"})
      EXPECT_TRUE(Contains(r.out, line)) << line;
    EXPECT_GT(LogRows(log).size(), 0u);
    EXPECT_FALSE(SemaphoreLeft(r.pid));
  }
}

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

std::string Frame(const TempDir& dir, int i) {
  char name[32];
  snprintf(name, sizeof name, "frame%06d.tst", i);
  return dir / name;
}

TEST(Hostile, ClosedStandardOutputNeverReachesTheFrames) {
  // The stream run is paced for 1.5 s, so that the live screen is drawn.
  for (bool stream : {true, false}) {
    TempDir dir;
    std::string target = stream ? dir / "stream" : dir.path();
    RunResult r =
        Shell("exec $ORDAVI " +
              std::string(stream ? "-B -s -w 64 -n 15 -f 10 -u 1" : "--verbose -t 4 -w 64 -n 20") +
              " -x " + dir / "log.csv " + target + " >&-");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (int i = 0; i < (stream ? 1 : 20); i++)
      EXPECT_TRUE(stream ? AllBytesAre(target, 0x73) : AllBytesAre(Frame(dir, i), 0x74)) << i;
    EXPECT_EQ(ReadFile(dir / "log.csv").rfind("Date,", 0), 0u);
  }
}

TEST(Hostile, FileSizeLimitIsAnOrdinaryWriteError) {
  for (std::string engine : {"", "-a 4", "-t 4"}) {
    SCOPED_TRACE(engine);
    TempDir dir;
    // bash counts the limit in KiB: 4 frames of 1 MiB fit.
    RunResult r = Shell("ulimit -f 4096; exec $ORDAVI --noinfo -u 0 -s -w 1024 -n 10 -f 50 " +
                        engine + " -x " + dir / "log.csv " + dir / "stream");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Contains(r.err, "Error 27: File too large\n")) << r.err;
    EXPECT_TRUE(Contains(r.out, "Overall frame rate") && !LogRows(dir / "log.csv").empty());
    EXPECT_FALSE(SemaphoreLeft(r.pid));
    EXPECT_EQ(FileSizeOf(dir / "stream"), 4 << 20);
  }
}

TEST(Hostile, UnwritableLogOrOutputEndsWithStatusOne) {
  TempDir dir;
  // A log that cannot be created stops the program before any frame.
  RunResult r = RunOrdavi({"-w", "4", "-n", "3", "-u", "0", "-x", dir.path(), dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Could not create log file: Is a directory\n");
  EXPECT_EQ(ListDir(dir.path()).size(), 0u);
  // A log that fails while it is written: the summary is there, the failure named.
  r = RunOrdavi({"-w", "4", "-n", "3", "-u", "0", "-x", "/dev/full", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Could not write log file \"/dev/full\": No space left on device\n");
  EXPECT_GT(CountOf(r.out, "Average file time"), 0);
  r = Shell("exec $ORDAVI -w 4 -n 3 -u 0 " + dir.path() + " >/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Could not write the results to standard output: No space left on device\n");
  EXPECT_TRUE(AllBytesAre(Frame(dir, 2), 0x73));
}

TEST(Hostile, FifoInTheFrameSetFailsThatFrameWithoutHanging) {
  struct Case {
    std::vector<std::string> options;
    std::string fifo, error;
  } cases[] = {
      {{"-w", "4"}, "frame000002.tst", "create file \"F\"\nError 6: No such device or address"},
      {{}, "frame000002.tst", "open file \"F\"\nError 22: Invalid argument"},
      {{"-B"}, "frame000002.tst", "read from file \"F\"\nError 29: Illegal seek"},
      {{"-B", "-s", "-z", "4"}, "stream", "read from file \"F\"\nError 29: Illegal seek"},
  };
  for (Case& c : cases) {
    TempDir dir;
    ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "5", "-u", "0", dir.path()}).status, 0);
    std::string fifo = dir / c.fifo;
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    c.options.insert(c.options.end(), {"--noinfo", "-n", "5", "-u", "0"});
    c.options.push_back(c.fifo == "stream" ? fifo : dir.path());
    // The break lands after the run has reported the FIFO, or in whatever
    // call it still makes: either way it ends in order.
    RunResult r = RunOrdavi(c.options, {15, 1000, 2, -1, nullptr});
    c.error.replace(c.error.find('F'), 1, fifo);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(Contains(r.err, "Cannot " + c.error + "\n")) << r.err;
    EXPECT_TRUE(Contains(r.out, "Overall frame rate"));
  }
}

TEST(Hostile, MoreIosThanBlocksStillMovesEveryFrame) {
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    TempDir dir;
    EXPECT_EQ(
        RunOrdavi(With(e, {"-i", "4097", "-n", "5", "-u", "0", "-w", "4", dir.path()})).status, 0);
    EXPECT_TRUE(AllBytesAre(Frame(dir, 4), e.fill) && FileSizeOf(Frame(dir, 4)) == 4096);
    RunResult r =
        RunOrdavi(With(e, {"-i", "4097", "-n", "5", "-u", "0", "-x", dir / "r.csv", dir.path()}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string log = ReadFile(dir / "r.csv");  // logged, and with data read
    EXPECT_EQ(LogRows(dir / "r.csv").size(), 5u);
    EXPECT_TRUE(Contains(log, "Bandwidth,") && !Contains(log, "Bandwidth,0.00,")) << log;
  }
}

TEST(Hostile, GapInASequenceIsReportedEndOfSequenceIsNot) {
  for (const Engine& e : {AllEngines()[0], AllEngines()[1]})
    for (int lastDeleted : {10, 19}) {
      SCOPED_TRACE(std::string(e.name) + " " + std::to_string(lastDeleted));
      TempDir dir;
      ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "20", "-u", "0", dir.path()}).status, 0);
      for (int i = 10; i <= lastDeleted; i++) unlink(Frame(dir, i).c_str());
      RunResult r = RunOrdavi(With(e, {"-n", "20", "-u", "0", "-x", dir / "log.csv", dir.path()}));
      bool gap = lastDeleted == 10;
      EXPECT_EQ(r.status, gap ? 2 : 0) << r.err;
      EXPECT_EQ(r.err, gap ? "Cannot open file \"" + Frame(dir, 10) +
                                 "\"\nError 2: No such file or directory\n"
                           : "");
      EXPECT_EQ(LogRows(dir / "log.csv").size(), gap ? 10u : 20u);
    }
}

// A name numbers a loop from its own number, each checked as the run makes it.
TEST(Hostile, NameNumbersCheckedAsTheRunGeneratesThem) {
  TempDir dir, loop;
  RunOk(Words("-w 4 -n 10 -l 3 --name=shot_000100.dpx -u 0 " + loop.path()));
  EXPECT_EQ(ListDir(loop.path()),
            (std::vector<std::string>{"shot_000100.dpx", "shot_000101.dpx", "shot_000102.dpx"}));
  const std::string name = "--name=f_2147483647.dpx";
  EXPECT_EQ(RunOrdavi({"-w", "4", "-n", "2", "-l", "1", "-u", "0", name, dir.path()}).status, 0);
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"f_2147483647.dpx"});
  EXPECT_EQ(RunOrdavi({"-s", "-w", "4", "-n", "2", "-u", "0", name, dir / "stream"}).status, 0);
  EXPECT_EQ(FileSizeOf(dir / "stream"), 8192);
  EXPECT_EQ(RunOrdavi({"-w", "4", "-n", "2", "-u", "0", name, dir / "x"}).status, 1);
}

// (On a pipe it does not: DisplayE2E.PacedRunWithPeriodShowsCompleteScreens.)
TEST(Hostile, ScreenClearsOnATerminal) {
  TempDir dir;
  RunResult tty =
      Shell("script -qfec '" ORDAVI_BINARY " -w 4 -n 150 -f 100 " + dir.path() + "' /dev/null");
  EXPECT_TRUE(tty.status == 0 && Contains(tty.out, "\033[H\033[2JTest parameters:")) << tty.out;
}

}  // namespace
