// End-to-end: ordavi started by a hostile user or environment - closed
// standard descriptors, a file-size limit, a timing log or standard output
// that cannot be written, FIFOs in the frame set, odd option values, a gap in
// a sequence, a terminal. Every run must keep its frames clean, report what
// failed, and never end a failed run with status 0.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Runs `script` with bash, $ORDAVI naming the binary, its stdout and stderr
// captured (a redirection in the script wins over the capture). The run is
// killed after 60 s. `pid` receives the process id the script had, which an
// `exec $ORDAVI` keeps.
RunResult RunShell(const std::string& script) {
  TempDir io;
  std::string out = io / "out", err = io / "err", pidFile = io / "pid";
  pid_t child = fork();
  if (child == 0) {
    setenv("ORDAVI", ORDAVI_BINARY, 1);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    std::string full = "echo $$ > " + pidFile + "; " + script;
    execlp("timeout", "timeout", "-s", "KILL", "60", "bash", "-c", full.c_str(), (char*)nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  RunResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  r.pid = atoi(ReadFile(pidFile).c_str());
  return r;
}

TEST(Hostile, ClosedStandardOutputNeverReachesTheFrames) {
  struct Case {
    const char* name;
    std::string options;
    bool stream;
    unsigned char fill;
  } cases[] = {
      // Paced for 1.5 s, so that the live screen is drawn at least once.
      {"stream with screen", "-B -s -w 64 -n 15 -f 10 -u 1", true, 0x73},
      {"threaded verbose", "--verbose -t 4 -w 64 -n 20", false, 0x74},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string target = c.stream ? dir / "stream" : dir.path();
    std::string log = dir / "log.csv";
    RunResult r = RunShell("exec $ORDAVI " + c.options + " -x " + log + " " + target + " >&-");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> frames;
    if (c.stream) {
      frames.push_back(target);
    } else {
      for (const std::string& name : ListDir(dir.path()))
        if (name.rfind("frame", 0) == 0) frames.push_back(dir / name);
      EXPECT_EQ(frames.size(), 20u);
    }
    for (const std::string& f : frames) EXPECT_TRUE(AllBytesAre(f, c.fill)) << f;
    EXPECT_EQ(ReadFile(log).rfind("Date,", 0), 0u);
  }
}

TEST(Hostile, FileSizeLimitIsAnOrdinaryWriteError) {
  const char* engines[] = {"", "-a 4", "-t 4"};
  for (const char* engine : engines) {
    SCOPED_TRACE(engine);
    TempDir dir;
    std::string log = dir / "log.csv";
    // bash counts the limit in KiB: 4 frames of 1 MiB fit.
    RunResult r = RunShell(std::string("ulimit -f 4096; exec $ORDAVI --noinfo -u 0 -s -w 1024 ") +
                           "-n 10 -f 50 " + engine + " -x " + log + " " + (dir / "stream"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "Error 27: File too large\n")) << r.err;
    EXPECT_TRUE(Has(r.out, "Overall frame rate")) << r.out;
    EXPECT_FALSE(LogRows(log).empty());
    EXPECT_FALSE(SemaphoreLeft(r.pid));
    EXPECT_EQ(FileSizeOf(dir / "stream"), 4 << 20);
  }
}

TEST(Hostile, UnwritableLogOrOutputEndsWithStatusOne) {
  TempDir dir;
  // A log that cannot be created stops the program before any frame.
  RunResult created = RunOrdavi({"-w", "4", "-n", "3", "-u", "0", "-x", dir.path(), dir.path()});
  EXPECT_EQ(created.status, 1);
  EXPECT_EQ(created.err, "Could not create log file: Is a directory\n");
  EXPECT_EQ(ListDir(dir.path()).size(), 0u);

  // A log that fails while it is written: the summary is there, the
  // failure is named.
  RunResult full = RunOrdavi({"-w", "4", "-n", "3", "-u", "0", "-x", "/dev/full", dir.path()});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "Could not write log file \"/dev/full\": No space left on device\n");
  EXPECT_TRUE(Has(full.out, "Average file time"));

  // A summary that cannot be printed.
  RunResult out = RunShell("exec $ORDAVI -w 4 -n 3 -u 0 " + dir.path() + " >/dev/full");
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.err, "Could not write the results to standard output: No space left on device\n");
  EXPECT_TRUE(AllBytesAre(dir / "frame000002.tst", 0x73));
}

TEST(Hostile, FifoInTheFrameSetFailsThatFrameWithoutHanging) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    const char* fifo;
    const char* message;
  } cases[] = {
      {"write",
       {"-w", "4"},
       "frame000002.tst",
       "Cannot create file \"DIR/frame000002.tst\"\nError 6: No such device or address\n"},
      {"read direct",
       {},
       "frame000002.tst",
       "Cannot open file \"DIR/frame000002.tst\"\nError 22: Invalid argument\n"},
      {"read buffered",
       {"-B"},
       "frame000002.tst",
       "Cannot read from file \"DIR/frame000002.tst\"\nError 29: Illegal seek\n"},
      {"stream read buffered",
       {"-B", "-s", "-z", "4"},
       nullptr,
       "Cannot read from file \"DIR/stream\"\nError 29: Illegal seek\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "5", "-u", "0", dir.path()}).status, 0);
    std::string fifo = c.fifo ? dir / c.fifo : dir / "stream";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::vector<std::string> args = c.options;
    for (const char* a : {"--noinfo", "-n", "5", "-u", "0"}) args.push_back(a);
    args.push_back(c.fifo ? dir.path() : fifo);
    // The break lands after the run has reported the FIFO, or in whatever
    // call it still makes: either way it ends in order.
    RunResult r = RunOrdavi(args, 15, 1000);
    std::string message = std::regex_replace(c.message, std::regex("DIR"), dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, message)) << r.err;
    EXPECT_TRUE(Has(r.out, "Overall frame rate"));
  }
}

TEST(Hostile, MoreIosThanBlocksStillMovesEveryFrame) {
  for (const char* engine : {"", "-t2"}) {
    SCOPED_TRACE(engine);
    TempDir dir;
    std::vector<std::string> common = {"--noinfo", "-i", "4097", "-n", "5", "-u", "0"};
    if (engine[0]) common.push_back(engine);
    std::vector<std::string> write = common, read = common;
    write.insert(write.end(), {"-w", "4", "-x", dir / "w.csv", dir / "f"});
    read.insert(read.end(), {"-x", dir / "r.csv", dir / "f"});
    mkdir((dir / "f").c_str(), 0755);
    RunResult w = RunOrdavi(write, 20);
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(AllBytesAre(dir / "f/frame000004.tst", engine[0] ? 0x74 : 0x73));
    EXPECT_EQ(FileSizeOf(dir / "f/frame000004.tst"), 4096);
    RunResult r = RunOrdavi(read, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(LogRows(dir / "r.csv").size(), 5u);
    EXPECT_TRUE(Has(ReadFile(dir / "r.csv"), "Bandwidth,")) << "log written";
    EXPECT_FALSE(Has(ReadFile(dir / "r.csv"), "Bandwidth,0.00,")) << "no data was read";
  }
}

TEST(Hostile, GapInASequenceIsReportedEndOfSequenceIsNot) {
  struct Case {
    const char* name;
    std::vector<std::string> engine;
    int firstDeleted, lastDeleted;
    bool reported;
    size_t rows;
  } cases[] = {
      {"sync gap", {}, 10, 10, true, 10},
      {"async gap", {"-a", "4"}, 10, 10, true, 10},
      {"sync end", {}, 10, 19, false, 20},
      {"async end", {"-a", "4"}, 10, 19, false, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "20", "-u", "0", dir.path()}).status, 0);
    for (int i = c.firstDeleted; i <= c.lastDeleted; i++) {
      char name[32];
      snprintf(name, sizeof name, "frame%06d.tst", i);
      unlink((dir / name).c_str());
    }
    std::vector<std::string> args = c.engine;
    for (const std::string& a : {std::string("-n"), std::string("20"), std::string("-u"),
                                 std::string("0"), std::string("-x"), dir / "log.csv", dir.path()})
      args.push_back(a);
    RunResult r = RunOrdavi(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.reported ? "Cannot open file \"" + (dir / "frame000010.tst") +
                                      "\"\nError 2: No such file or directory\n"
                                : "");
    EXPECT_EQ(LogRows(dir / "log.csv").size(), c.rows);
  }
}

TEST(Hostile, NameNumbersCheckedAsTheRunGeneratesThem) {
  TempDir dir;
  RunResult looped = RunOrdavi(
      {"-w", "4", "-n", "2", "-l", "1", "-u", "0", "--name=f_2147483647.dpx", dir.path()});
  EXPECT_EQ(looped.status, 0) << looped.err;
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"f_2147483647.dpx"});
  RunResult stream =
      RunOrdavi({"-s", "-w", "4", "-n", "2", "-u", "0", "--name=f_2147483647.dpx", dir / "stream"});
  EXPECT_EQ(stream.status, 0) << stream.err;
  EXPECT_EQ(FileSizeOf(dir / "stream"), 8192);
  RunResult beyond =
      RunOrdavi({"-w", "4", "-n", "2", "-u", "0", "--name=f_2147483647.dpx", dir / "x"});
  EXPECT_EQ(beyond.status, 1);
}

TEST(Hostile, ScreenClearsOnATerminalOnly) {
  TempDir dir;
  const std::string cmd = std::string(ORDAVI_BINARY) + " -w 4 -n 150 -f 100 " + dir.path();
  RunResult tty = RunShell("script -qfec '" + cmd + "' /dev/null");
  EXPECT_EQ(tty.status, 0) << tty.err;
  EXPECT_TRUE(Has(tty.out, "\033[H\033[2JTest parameters:")) << tty.out;
  RunResult pipe = RunOrdavi({"-w", "4", "-n", "150", "-f", "100", dir.path()});
  EXPECT_EQ(pipe.status, 0) << pipe.err;
  EXPECT_TRUE(Has(pipe.out, "Test parameters:"));
  EXPECT_FALSE(Has(pipe.out, "\033"));
}

}  // namespace
