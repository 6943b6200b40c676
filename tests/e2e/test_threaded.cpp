// The multithreaded engines (-t) on real files: what they write, what they
// read, how they stop, and what they report.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace {

std::string FrameName(int n) {
  char name[32];
  snprintf(name, sizeof name, "frame%06d.tst", n);
  return name;
}

// Data rows of a timing log (after the "num,..." header), split at commas.
std::vector<std::vector<std::string>> LogRows(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  bool inRows = false;
  for (const std::string& line : SplitLines(ReadFile(path))) {
    if (line.rfind("num,", 0) == 0) {
      inRows = true;
    } else if (inRows && !line.empty()) {
      std::vector<std::string> cells(1);
      for (char c : line) {
        if (c == ',')
          cells.emplace_back();
        else
          cells.back().push_back(c);
      }
      rows.push_back(cells);
    }
  }
  return rows;
}

// The text after `marker` up to " [" in every trace line that holds it.
std::vector<std::string> Traced(const std::string& out, const std::string& marker) {
  std::vector<std::string> found;
  for (const std::string& line : SplitLines(out)) {
    size_t p = line.find(marker);
    if (p == std::string::npos) continue;
    std::string rest = line.substr(p + marker.size());
    found.push_back(rest.substr(0, rest.find(" [")));
  }
  return found;
}

// Frames the engine handed out, from its trace.
int HandedOut(const std::string& out) {
  return CountOf(out, "- about to release thread ") + CountOf(out, "- about release thread ") +
         CountOf(out, "- about to start and release thread ");
}

void ExpectFrames(const TempDir& dir, int frames, int64_t size) {
  for (int i = 0; i < frames; i++) {
    std::string f = dir / FrameName(i);
    EXPECT_EQ(FileSizeOf(f), size) << f;
    EXPECT_TRUE(AllBytesAre(f, 0x74)) << f;
  }
}

RunResult Ordavi(std::vector<std::string> args, int timeoutSec = 120, int interruptMs = -1) {
  args.insert(args.begin(), {"--noinfo", "-u", "0"});
  return RunOrdavi(args, timeoutSec, interruptMs);
}

TEST(Threaded, WriteThenReadFramesAndStream) {
  for (bool stream : {false, true}) {
    for (const char* threads : {"1", "4"}) {
      SCOPED_TRACE(std::string(stream ? "stream" : "files") + ", -t " + threads);
      TempDir dir;
      std::string target = stream ? dir / "stream.bin" : dir.path();
      std::vector<std::string> mode =
          stream ? std::vector<std::string>{"-s"} : std::vector<std::string>{};
      auto with = [&](std::vector<std::string> a) {
        a.insert(a.end(), mode.begin(), mode.end());
        a.insert(a.end(), {"-t", threads, "-n", "24", "-x", dir / "log.csv", target});
        return a;
      };
      RunResult w = Ordavi(with({"-w", "64"}));
      ASSERT_EQ(w.status, 0) << w.err;
      EXPECT_EQ(w.err, "");
      EXPECT_NE(w.out.find(std::string("Writing frames (sync, multithreaded: ") + threads +
                           ", rate: 0, queue: 0)\n"),
                std::string::npos);
      EXPECT_EQ(LogRows(dir / "log.csv").size(), 24u);
      if (stream) {
        EXPECT_EQ(FileSizeOf(target), 24 * 65536);
        EXPECT_TRUE(AllBytesAre(target, 0x74));
      } else {
        ExpectFrames(dir, 24, 65536);
      }

      RunResult r = Ordavi(with({"-r", "-z", "64"}));
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_NE(r.out.find(std::string("Reading frames (sync, multithreaded: ") + threads +
                           ", rate: 0, queue: 0, prebuf: -1)\n"),
                std::string::npos);
      auto rows = LogRows(dir / "log.csv");
      ASSERT_EQ(rows.size(), 24u);
      for (auto& row : rows) EXPECT_NE(row[4], "0.000");  // every frame was read
    }
  }
}

TEST(Threaded, HdFramesCarryTheHeaderAndOnlyLetterT) {
  TempDir dir;
  RunResult w = Ordavi({"-w", "hd", "-n", "3", "-t", "2", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  ExpectFrames(dir, 3, 8294400 + 65536);
}

TEST(Threaded, PoolSizeAgainstFrameCount) {
  // -t 1, -t equal to -n, and -t above -n (lowered to -n).
  for (auto [threads, frames, shown] : {std::tuple{"1", "5", 1}, {"6", "6", 6}, {"20", "3", 3}}) {
    SCOPED_TRACE(std::string("-t ") + threads + " -n " + frames);
    TempDir dir;
    RunResult w = Ordavi({"-w", "16", "-t", threads, "-n", frames, "--verbose", dir.path()});
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_NE(w.out.find("multithreaded: " + std::to_string(shown) + ","), std::string::npos);
    int n = std::stoi(frames);
    ExpectFrames(dir, n, 16384);
    EXPECT_EQ(ListDir(dir.path()).size(), size_t(n));
    EXPECT_EQ(CountOf(w.out, "  + Write thread terminated ["), shown);

    RunResult r =
        Ordavi({"-t", threads, "-n", frames, "--verbose", "-x", dir / "r.csv", dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(CountOf(r.out, "  + Read thread finished ["), n);
    EXPECT_EQ(CountOf(r.out, "  + Read thread terminated ["), shown);
    EXPECT_EQ(LogRows(dir / "r.csv").size(), size_t(n));
  }
}

TEST(Threaded, OutOfOrderWriteWritesEveryFrameExactlyOnce) {
  for (bool random : {false, true}) {
    TempDir dir;
    std::vector<std::string> args = {
        "-w", "64", "-n", "60", "-t", "8", "-o", "--verbose", "-x", dir / "log.csv", dir.path()};
    if (random) args.insert(args.begin(), "-m");
    RunResult w = Ordavi(args);
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_GT(CountOf(w.out, "- waiting for any thread"), 0);
    std::map<std::string, int> released;
    for (auto& name : Traced(w.out, "  + Write thread released: ")) released[name]++;
    ASSERT_EQ(released.size(), 60u);
    for (auto& [name, count] : released) EXPECT_EQ(count, 1) << name;
    ExpectFrames(dir, 60, 65536);
    EXPECT_EQ(ListDir(dir.path()).size(), 61u);  // and the log
    EXPECT_EQ(LogRows(dir / "log.csv").size(), 60u);
  }
}

TEST(Threaded, LiveScreenDuringOutOfOrderWrite) {
  // The live screen reads published records while the workers write others.
  TempDir dir;
  RunResult w = Ordavi({"-u", "1", "-w", "16", "-n", "4000", "-t", "20", "-o", "-B", "-x",
                        dir / "log.csv", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err, "");
  EXPECT_EQ(LogRows(dir / "log.csv").size(), 4000u);
}

TEST(Threaded, OutOfOrderHasNoEffectOnRead) {
  TempDir dir;
  ASSERT_EQ(Ordavi({"-w", "16", "-n", "20", "-t", "4", dir.path()}).status, 0);
  RunResult r = Ordavi({"-o", "-n", "20", "-t", "4", "--verbose", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountOf(r.out, "- waiting for any thread"), 0);
  // Collected in cyclic order, and handed out in frame order.
  std::vector<std::string> finished = Traced(r.out, "- thread ");
  ASSERT_EQ(finished.size(), 16u);
  for (size_t i = 0; i < finished.size(); i++)
    EXPECT_EQ(finished[i], std::to_string(i % 4) + " finished");
  std::vector<std::string> names = Traced(r.out, "- about release thread ");
  ASSERT_EQ(names.size(), 16u);
  for (size_t i = 0; i < names.size(); i++)
    EXPECT_EQ(names[i], std::to_string(i % 4) + ": " + dir.path() + "/" + FrameName(int(i) + 4));
}

TEST(Threaded, IoSplitting) {
  TempDir dir;
  // 100 KB in three I/Os of 36864 bytes, the last one shorter.
  RunResult w = Ordavi({"-w", "100", "-i", "3", "-n", "5", "-t", "2", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  ExpectFrames(dir, 5, 102400);
  RunResult r = Ordavi({"-i", "3", "-n", "5", "-t", "2", "--verbose", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(CountOf(r.out, "  + Read completed ["), 15);
}

TEST(Threaded, CropReadsTheMiddleOfEachFrame) {
  // -c 50 over 409600-byte frames reads 204800 bytes from offset 102400. The
  // last frame is cut right after that part, then 4096 bytes before its end.
  for (bool stream : {false, true}) {
    SCOPED_TRACE(stream ? "stream" : "files");
    TempDir dir;
    std::string target = stream ? dir / "s.bin" : dir.path();
    std::string last = stream ? target : dir / FrameName(3);
    int64_t lastStart = stream ? 3 * 409600 : 0;
    std::vector<std::string> mode =
        stream ? std::vector<std::string>{"-s"} : std::vector<std::string>{};
    auto args = [&](std::vector<std::string> a) {
      a.insert(a.end(), mode.begin(), mode.end());
      a.insert(a.end(), {"-n", "4", "-t", "2", target});
      return a;
    };
    ASSERT_EQ(Ordavi(args({"-w", "400"})).status, 0);

    ASSERT_EQ(truncate(last.c_str(), lastStart + 102400 + 204800), 0);
    RunResult fits = Ordavi(args({"-r", "-z", "400", "-c", "50"}));
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(fits.err, "");

    ASSERT_EQ(truncate(last.c_str(), lastStart + 102400 + 204800 - 4096), 0);
    RunResult cut = Ordavi(args({"-r", "-z", "400", "-c", "50"}));
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.err, "Only 200704 of 204800 bytes were read from \"" + last +
                           "\"\nError 0: " + strerror(0) + "\n");
  }
}

TEST(Threaded, PacedWriteTakesOneFramePerHandOut) {
  TempDir dir;
  RunResult w = Ordavi({"-w", "16", "-n", "20", "-t", "4", "-f", "50", "--verbose", "-x",
                        dir / "log.csv", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_NE(w.out.find("Writing frames (sync, multithreaded: 4, rate: 50, queue: 50)\n"),
            std::string::npos);
  EXPECT_EQ(CountOf(w.out, "- Waiting for frame "), 20);
  ExpectFrames(dir, 20, 16384);
  auto rows = LogRows(dir / "log.csv");
  ASSERT_EQ(rows.size(), 20u);
  // Frames came from the camera at 50 fps: 19 periods of 20 ms at least.
  EXPECT_GE(std::stod(rows[19][5]) - std::stod(rows[0][5]), 19 * 20 - 5);
}

TEST(Threaded, PacedReadShowsEveryReleasedFrameAndEnds) {
  TempDir dir;
  ASSERT_EQ(Ordavi({"-w", "16", "-n", "20", dir.path()}).status, 0);
  // A long run pre-buffers in the steady state; the short ones never get
  // there (-n at most -t plus -b) or never fill the pre-buffer at all.
  struct Case {
    const char *frames, *threads, *prebuf;
  } cases[] = {
      {"20", "4", "3"}, {"6", "4", "5"}, {"9", "4", "5"}, {"3", "2", "5"}, {"2", "4", "0"}};
  for (auto& c : cases) {
    SCOPED_TRACE(std::string("-n ") + c.frames + " -t " + c.threads + " -b " + c.prebuf);
    RunResult r = Ordavi({"-n", c.frames, "-t", c.threads, "-b", c.prebuf, "-f", "50", "-q", "8",
                          "--verbose", "-x", dir / "log.csv", dir.path()},
                         30);
    ASSERT_EQ(r.status, 0) << r.err;
    int n = std::stoi(c.frames);
    EXPECT_EQ(CountOf(r.out, " CFT   * Frame used, i = "), n);
    EXPECT_EQ(CountOf(r.out, " CFT   * Frame used, i = " + std::to_string(n - 1) + "\n"), 1);
    EXPECT_LE(CountOf(r.out, "- Starting PLAYBACK thread"), 1);
    auto rows = LogRows(dir / "log.csv");
    ASSERT_EQ(rows.size(), size_t(n));
    for (auto& row : rows) EXPECT_GT(std::stod(row[5]), 0) << "frame " << row[0] << " not shown";
  }
}

TEST(Threaded, WorkerCreateFailureStopsTheRunInOrder) {
  for (bool outOfOrder : {false, true}) {
    SCOPED_TRACE(outOfOrder ? "-o" : "in order");
    TempDir dir;
    ASSERT_EQ(mkdir((dir / FrameName(7)).c_str(), 0700), 0);
    std::vector<std::string> args = {"-w",      "16", "-n", "40", "-t", "4", "-x", dir / "log.csv",
                                     dir.path()};
    if (outOfOrder) args.insert(args.begin(), "-o");
    RunResult w = Ordavi(args);
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.err, "Cannot create file \"" + dir / FrameName(7) +
                         "\"\nError 21: " + strerror(21) + "\n");
    EXPECT_NE(w.out.find("Overall frame rate"), std::string::npos);
    // Frame 7 and the ones handed to its ended worker count, unperformed.
    size_t rows = LogRows(dir / "log.csv").size();
    EXPECT_GE(rows, 8u);
    EXPECT_LT(rows, 40u);
    ExpectFrames(dir, 7, 16384);
  }
}

TEST(Threaded, FailureInTheLastFramesIsReported) {
  // The frames still in flight when the hand-out ends fail too: the run must
  // not pass for a success.
  TempDir dir;
  for (const char* threads : {"1", "3"}) {
    RunResult w = Ordavi({"-w", "16", "-n", threads, "-t", threads, dir / "no/such"});
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.err.rfind("Cannot create file \"" + dir.path() + "/no/such/frame00000", 0), 0u)
        << w.err;
    EXPECT_NE(w.err.find("\"\nError 2: " + std::string(strerror(2)) + "\n"), std::string::npos);
  }
}

TEST(Threaded, WorkerOpenFailureStopsTheRead) {
  for (bool random : {false, true}) {
    SCOPED_TRACE(random ? "random" : "in order");
    TempDir dir;
    ASSERT_EQ(Ordavi({"-w", "16", "-n", "30", dir.path()}).status, 0);
    ASSERT_EQ(unlink((dir / FrameName(11)).c_str()), 0);
    std::vector<std::string> args = {"-n", "30", "-t", "4", dir.path()};
    if (random) args.insert(args.begin(), "-m");
    RunResult r = Ordavi(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "Cannot open file \"" + dir / FrameName(11) + "\"\nError 2: " + strerror(2) + "\n");
    EXPECT_NE(r.out.find("Overall frame rate"), std::string::npos);
  }
}

TEST(Threaded, WriteErrorsEndTheRunWithTheFirstError) {
  // Files may not grow beyond 96 KB: writing 64 KB frames into a stream, the
  // second frame is cut short; with frame files, every frame is.
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = {96 * 1024, old.rlim_max};
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);  // inherited by ordavi
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  TempDir dir;
  RunResult stream = Ordavi({"-w", "64", "-s", "-n", "10", "-t", "1", dir / "s.bin"});
  RunResult files = Ordavi({"-w", "128", "-n", "10", "-t", "4", dir.path()});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(stream.status, 0);
  EXPECT_EQ(stream.err, "Only 32768 of 65536 bytes were written to \"" + dir / "s.bin" +
                            "\"\nError 28: " + strerror(28) + "\n");
  EXPECT_NE(stream.out.find("Overall frame rate"), std::string::npos);
  EXPECT_EQ(files.status, 0);
  // Workers failing at the same moment may each print their error.
  EXPECT_GE(CountOf(files.err, "\nError 28: "), 1);
  EXPECT_EQ(CountOf(files.err, "\nError "), CountOf(files.err, "Only 98304 of 131072 bytes"));
  EXPECT_EQ(files.err.rfind("Only 98304 of 131072 bytes were written to \"" + dir.path(), 0), 0u)
      << files.err;
}

TEST(Threaded, ReadErrorOfAFrameThatIsADirectory) {
  TempDir dir;
  ASSERT_EQ(Ordavi({"-w", "16", "-n", "10", dir.path()}).status, 0);
  ASSERT_EQ(unlink((dir / FrameName(5)).c_str()), 0);
  ASSERT_EQ(mkdir((dir / FrameName(5)).c_str(), 0700), 0);
  // Buffered, a directory opens, and its read fails.
  RunResult r = Ordavi({"-B", "-n", "10", "-t", "3", dir.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Cannot read from file \"" + dir / FrameName(5) +
                       "\"\nError 21: " + strerror(21) + "\n");
}

TEST(Threaded, PacedRunsStopWithoutHanging) {
  TempDir dir;
  // A break while the first frames are still being handed out (4 fps: one
  // frame every 250 ms for 8 workers): the capture thread stops, so the
  // engine must not wait for the frames it will never get.
  RunResult w = Ordavi(
      {"-w", "16", "-n", "20", "-t", "8", "-f", "4", "-x", dir / "w.csv", dir.path()}, 30, 600);
  ASSERT_EQ(w.status, 0) << w.err;
  ASSERT_NE(w.out.find("User break, stopping\n"), std::string::npos);
  size_t written = LogRows(dir / "w.csv").size();
  EXPECT_GE(written, 1u);
  EXPECT_LT(written, 8u);
  ExpectFrames(dir, int(written), 16384);
  EXPECT_EQ(ListDir(dir.path()).size(), written + 1);

  // A worker failure during the first hand-out stops the capture thread the
  // same way.
  TempDir failing;
  ASSERT_EQ(mkdir((failing / FrameName(0)).c_str(), 0700), 0);
  RunResult f = Ordavi({"-w", "16", "-n", "20", "-t", "8", "-f", "4", failing.path()}, 30);
  EXPECT_EQ(f.status, 0);
  EXPECT_EQ(CountOf(f.err, "Cannot create file"), 1);

  // A paced read stopped while playback is held or running.
  RunResult r = Ordavi({"-n", "20", "-l", "2", "-t", "4", "-f", "20", dir.path()}, 30, 300);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("User break, stopping\n"), std::string::npos);
}

TEST(Threaded, UserBreakPerformsEveryHandedOutFrame) {
  TempDir dir;
  RunResult w =
      Ordavi({"-w", "64", "-n", "200000", "-t", "4", "--verbose", "-x", dir / "w.csv", dir.path()},
             60, 700);
  ASSERT_EQ(w.status, 0) << w.err;
  ASSERT_NE(w.out.find("User break, stopping\n"), std::string::npos);
  int handed = HandedOut(w.out);
  ASSERT_GT(handed, 4);
  ASSERT_LT(handed, 200000);
  std::vector<std::string> released = Traced(w.out, "  + Write thread released: ");
  EXPECT_EQ(int(released.size()), handed);
  EXPECT_EQ(CountOf(w.out, "  + Write thread finished ["), handed);
  EXPECT_EQ(int(LogRows(dir / "w.csv").size()), handed);  // the result is k + 1
  ExpectFrames(dir, handed, 65536);
  EXPECT_EQ(ListDir(dir.path()).size(), size_t(handed) + 1);

  RunResult r =
      Ordavi({"-n", "200000", "-l", "5", "-t", "4", "--verbose", "-x", dir / "r.csv", dir.path()},
             60, 700);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_NE(r.out.find("User break, stopping\n"), std::string::npos);
  handed = HandedOut(r.out);
  ASSERT_GT(handed, 4);
  EXPECT_EQ(CountOf(r.out, "  + Read thread finished ["), handed);
  EXPECT_EQ(int(LogRows(dir / "r.csv").size()), handed - 1);  // the result is k
}

}  // namespace
