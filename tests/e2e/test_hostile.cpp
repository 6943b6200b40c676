// End-to-end: ordavi started by a hostile user or environment. Every run keeps
// its frames clean, reports what failed and never ends a failed run with 0.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

std::string Frame(const TempDir& dir, int i) {
  char name[32];
  snprintf(name, sizeof name, "frame%06d.tst", i);
  return dir / name;
}

// Runs `script` with bash, $ORDAVI naming the binary, stdout and stderr
// captured unless the script redirects them; killed after 60 s. The pid is
// the shell's, which `exec $ORDAVI` keeps.
RunResult RunShell(const std::string& script) {
  TempDir io;
  std::ofstream(io / "sh") << "echo $$ >" + io / "pid" + "\n" + script + "\n";
  const std::string run = "ORDAVI=" ORDAVI_BINARY " timeout -s KILL 60 bash " + io / "sh";
  int s = system((run + " >" + io / "out" + " 2>" + io / "err").c_str());
  return {WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s), ReadFile(io / "out"),
          ReadFile(io / "err"), atoi(ReadFile(io / "pid").c_str())};
}

TEST(Hostile, ClosedStandardOutputNeverReachesTheFrames) {
  // The stream run is paced for 1.5 s, so that the live screen is drawn.
  for (bool stream : {true, false}) {
    TempDir dir;
    std::string target = stream ? dir / "stream" : dir.path();
    RunResult r = RunShell(
        "exec $ORDAVI " +
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
    RunResult r = RunShell("ulimit -f 4096; exec $ORDAVI --noinfo -u 0 -s -w 1024 -n 10 -f 50 " +
                           engine + " -x " + dir / "log.csv " + dir / "stream");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(CountOf(r.err, "Error 27: File too large\n"), 0) << r.err;
    EXPECT_GT(CountOf(r.out, "Overall frame rate"), 0) << r.out;
    EXPECT_FALSE(LogRows(dir / "log.csv").empty());
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
  r = RunShell("exec $ORDAVI -w 4 -n 3 -u 0 " + dir.path() + " >/dev/full");
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
    RunResult r = RunOrdavi(c.options, 15, 1000);
    c.error.replace(c.error.find('F'), 1, fifo);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(CountOf(r.err, "Cannot " + c.error + "\n"), 0) << r.err;
    EXPECT_GT(CountOf(r.out, "Overall frame rate"), 0);
  }
}

TEST(Hostile, MoreIosThanBlocksStillMovesEveryFrame) {
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    TempDir dir;
    std::vector<std::string> read = With(e, {"--noinfo", "-i", "4097", "-n", "5", "-u", "0"});
    std::vector<std::string> write = read;
    write.insert(write.end(), {"-w", "4", dir.path()});
    read.insert(read.end(), {"-x", dir / "r.csv", dir.path()});
    EXPECT_EQ(RunOrdavi(write, 20).status, 0);
    EXPECT_TRUE(AllBytesAre(Frame(dir, 4), e.fill));
    EXPECT_EQ(FileSizeOf(Frame(dir, 4)), 4096);
    RunResult r = RunOrdavi(read, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(LogRows(dir / "r.csv").size(), 5u);
    // Logged, and with data read.
    EXPECT_GT(CountOf(ReadFile(dir / "r.csv"), "Bandwidth,"), 0);
    EXPECT_EQ(CountOf(ReadFile(dir / "r.csv"), "Bandwidth,0.00,"), 0);
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
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, gap ? "Cannot open file \"" + Frame(dir, 10) +
                                 "\"\nError 2: No such file or directory\n"
                           : "");
      EXPECT_EQ(LogRows(dir / "log.csv").size(), gap ? 10u : 20u);
    }
}

TEST(Hostile, NameNumbersCheckedAsTheRunGeneratesThem) {
  TempDir dir;
  const std::string name = "--name=f_2147483647.dpx";
  EXPECT_EQ(RunOrdavi({"-w", "4", "-n", "2", "-l", "1", "-u", "0", name, dir.path()}).status, 0);
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"f_2147483647.dpx"});
  EXPECT_EQ(RunOrdavi({"-s", "-w", "4", "-n", "2", "-u", "0", name, dir / "stream"}).status, 0);
  EXPECT_EQ(FileSizeOf(dir / "stream"), 8192);
  EXPECT_EQ(RunOrdavi({"-w", "4", "-n", "2", "-u", "0", name, dir / "x"}).status, 1);
}

TEST(Hostile, ScreenClearsOnATerminalOnly) {
  TempDir dir;
  const std::string args = " -w 4 -n 150 -f 100 " + dir.path();
  RunResult tty = RunShell("script -qfec '" ORDAVI_BINARY + args + "' /dev/null");
  EXPECT_EQ(tty.status, 0) << tty.err;
  EXPECT_GT(CountOf(tty.out, "\033[H\033[2JTest parameters:"), 0) << tty.out;
  RunResult pipe = RunShell("exec $ORDAVI" + args);
  EXPECT_EQ(pipe.status, 0) << pipe.err;
  EXPECT_GT(CountOf(pipe.out, "Test parameters:"), 0);
  EXPECT_EQ(CountOf(pipe.out, "\033"), 0);
}

}  // namespace
