// End-to-end: what every engine does the same way on real files, the rules
// of one engine alone, and the synchronous run's own output, sizes and names.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

using Args = std::vector<std::string>;

namespace {

class Engines : public testing::TestWithParam<Engine> {
 protected:
  RunResult Run(const std::string& line) {
    return RunOrdavi(With(GetParam(), Words("-u 0 " + line)));
  }
  // A clean run that logged `rows` frames, every one of them shown, and left
  // no frame queue behind.
  RunResult RunLogged(const std::string& line, size_t rows) {
    RunResult r = Run("-x " + (dir_ / "log.csv") + " " + line);
    EXPECT_EQ(r.status, 0) << line << "\n" << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(SemaphoreLeft(r.pid));
    const std::vector<std::string> logged = LogRows(dir_ / "log.csv");
    EXPECT_EQ(logged.size(), rows) << line;
    for (auto& row : logged) EXPECT_FALSE(Contains(row, ",-")) << row;
    return r;
  }
  TempDir dir_;
};

TEST_P(Engines, FramesStreamsPacedRunsAndFailures) {
  // -m -n 2: fewer frames than workers.
  for (std::string extra : {"-n 5", "-v -o -n 5", "-m -n 2"}) {
    TempDir d;
    const size_t frames = extra.back() - '0';
    RunLogged("-w 400 " + extra + " " + d.path(), frames);
    ASSERT_EQ(ListDir(d.path()).size(), frames);
    for (auto& name : ListDir(d.path()))
      EXPECT_TRUE(FileSizeOf(d / name) == 409600 && AllBytesAre(d / name, GetParam().fill)) << name;
    RunLogged("-n " + std::to_string(frames) + " " + d.path(), frames);
    // Frame 1 cut to half its size: a read of its middle half (from a quarter
    // in) comes up short by a quarter frame; one from its start would not.
    ASSERT_EQ(truncate((d / "frame000001.tst").c_str(), 204800), 0);
    EXPECT_TRUE(
        Contains(Run("-n 2 -c 50 " + d.path()).err, "Only 102400 of 204800 bytes were read"));
  }
  RunLogged("-w 64 -s -n 4 " + (dir_ / "s"), 4);
  EXPECT_TRUE(FileSizeOf(dir_ / "s") == 4 * 65536 && AllBytesAre(dir_ / "s", GetParam().fill));
  RunLogged("-z 64 -s -n 8 -l 4 -c 50 " + (dir_ / "s"), 8);
  // Paced: a read too short to ever fill the pre-buffer must not hang either.
  EXPECT_TRUE(Contains(RunLogged("-w 4 -n 20 -f 100 " + dir_.path(), 20).out,
                       "  Average queue usage .... "));
  for (int n : {20, 3})
    EXPECT_TRUE(
        Contains(RunLogged("-f 100 -q 8 -b 5 -n " + std::to_string(n) + " " + dir_.path(), n).out,
                 "  Average empty buffers .. "));
  // A frame that exists but cannot be opened is reported, never taken for the
  // end of the sequence; a frame file replaced by a directory stops a write.
  ASSERT_EQ(symlink("frame000020.tst", (dir_ / "frame000020.tst").c_str()), 0);
  EXPECT_TRUE(Contains(Run("-n 21 " + dir_.path()).err,
                       "Cannot open file \"" + (dir_ / "frame000020.tst") + "\"\nError 40: "));
  ASSERT_EQ(unlink((dir_ / "frame000004.tst").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ / "frame000004.tst").c_str(), 0700), 0);
  RunResult c = Run("-w 4 -n 6 " + dir_.path());
  EXPECT_TRUE(c.status == 2 && CountOf(c.err, "Error ") == 1 && Contains(c.out, "  Overall frame"));
  EXPECT_TRUE(Contains(c.err, "/frame000004.tst\"\nError 21: Is a directory\n")) << c.err;
}

INSTANTIATE_TEST_SUITE_P(All, Engines, testing::ValuesIn(AllEngines()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SyncEngine, OutputAndTimingLog) {
  TempDir dir;
  std::string out = RunOk(Words("-w 100 -n 3 -u 0 " + dir.path())).out;
  out += RunOk(Words("-n 3 -u 0 -x " + (dir / "log.csv") + " " + dir.path() + "/")).out;
  EXPECT_EQ(out.rfind("Ordavi 4.23 for Linux\n", 0), 0u);
  EXPECT_FALSE(Contains(out, "dropped"));
  for (auto part :
       {"Writing frames (sync, rate: 0, queue: 0)\n", "\n  Overall frame rate .... ",
        "  Average create time .... ", "  Average write time ..... ", "  Longest close time .... ",
        "Reading frames (sync, rate: 0, queue: 0, prebuf: -1)\n", "  Average open time ...... ",
        "Writing log file...\n"})
    EXPECT_TRUE(Contains(out, part)) << part;
  EXPECT_TRUE(Contains(ReadFile(dir / "log.csv"),
                       "TestPath,\"" + dir.path() + "/\"\nParameters,\" -r -z100 -n3 \"\n"));
}

TEST(SyncEngine, SizesHeadersAndStreamSlices) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "c").c_str(), 0755), 0);
  // Each run, the size one file then has, and a part of its output.
  const struct {
    std::string line, file, out;
    int64_t size;
  } runs[] = {
      {"-w sd -n 1 " + dir.path(), dir / "frame000000.tst", "", 1449984},  // + 64 KB header
      {"-w sd --header=0 -n 1 " + dir.path(), dir / "frame000000.tst", "", 1449984},  // kept
      {"-w sd -s -n 2 " + (dir / "stream"), dir / "stream", "", 2 * 1384448},         // no header
      {"-e -n 2 " + dir.path(), dir / "frame000001.tst", "  Average write time ..... 0.0 ms\n", 0},
      {"-w 400 -i 3 -n 1 " + (dir / "c"), dir / "c/frame000000.tst", "", 409600},  // three I/Os
  };
  for (const auto& run : runs) {
    EXPECT_TRUE(Contains(RunOk(Words("-u 0 " + run.line)).out, run.out)) << run.line;
    EXPECT_EQ(FileSizeOf(run.file), run.size) << run.line;
  }
  EXPECT_TRUE(AllBytesAre(dir / "c/frame000000.tst", 0x73));
  RunOk(Words("-n 1 -c 50 -i 2 -u 0 -x " + (dir / "c.csv") + " " + (dir / "c")));
  EXPECT_TRUE(Contains(ReadFile(dir / "c.csv"), "Parameters,\" -r -z400 -n1 -i2 -c50 \"\n"));
  // In a stream no file is opened or closed per frame: open = start, close = io.
  RunOk(Words("-z 64 -s -n 2 -u 0 -x " + (dir / "s.csv") + " " + (dir / "stream")));
  for (auto& row : LogRows(dir / "s.csv")) {
    const Args f = Fields(row);
    EXPECT_TRUE(f.size() == 5 && f[1] == f[2] && f[3] == f[4]) << row;
  }
}

// Fatal errors end with status 1, touch nothing and leave no frame queue
// (a test that failed once it ran ends with 2);
// the log is created before the run, and the asynchronous engine fills its
// ring before it, so nothing is measured in vain.
TEST(SyncEngine, FatalErrors) {
  TempDir dir, three;
  RunOk(Words("-w 4 -n 3 -u 0 " + three.path()));
  const std::pair<std::string, std::string> cases[] = {
      {"-a 5 -f 50 -n 10 " + three.path(),
       "Cannot open file \"" + (three / "frame000003.tst") +
           "\"\n***FATAL*** Error 2: No such file or directory\n"},
      {"-n 3 " + (dir / "m"), "Cannot get size of file \"" + (dir / "m/frame000000.tst") +
                                  "\"\n***FATAL*** Error 2: No such file or directory\n"},
      {"-s -n 4 " + (dir / "s"),
       "Frame size must be specified (-z) when performing a streaming test\n"
       "***FATAL*** Error 0: Success\n"},
      {"-w 4 -n 1 " + (dir / std::string(250, 'p')), "Path is too long"},
      {"-w 4 -n 1 -x " + (dir / "no/such.csv") + " " + dir.path(),
       "Could not create log file: No such file or directory\n"},
      // A write test's directory must exist: it is never created.
      {"-w hd -n 100 -x " + (dir / "w.csv") + " " + (dir / "d"),
       "Cannot write frames into \"" + (dir / "d") + "\"\n***FATAL*** Error 2: No such "},
      {"-s -w 64 -n 4 " + (dir / "d/s"), "Cannot write frames into \"" + (dir / "d") + "\"\n"},
  };
  for (const auto& [line, err] : cases) {
    RunResult r = RunOrdavi(Words("-u 0 " + line));
    EXPECT_TRUE(r.status == 1 && !SemaphoreLeft(r.pid)) << line;
    EXPECT_TRUE(Contains(r.err, err)) << r.err;
  }
  EXPECT_TRUE(ListDir(dir.path()).empty());
}

}  // namespace
