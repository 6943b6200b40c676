// End-to-end: what every engine (sync, async, threaded) must do the same way,
// on real files, plus the few rules of one engine alone.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using Args = std::vector<std::string>;
bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Engines : public testing::TestWithParam<Engine> {
 protected:
  // Runs the engine of the test with `args` (the target last) and -u 0.
  RunResult Run(Args args, int timeout = 60) {
    args.insert(args.end() - 1, {"-u", "0"});
    return RunOrdavi(With(GetParam(), args), timeout);
  }
  // Runs and expects a clean run that logged `rows` frames.
  void RunLogged(Args args, size_t rows, int timeout = 60) {
    args.insert(args.end() - 1, {"-x", dir_ / "log.csv"});
    RunResult r = Run(args, timeout);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(LogRows(dir_ / "log.csv").size(), rows);
  }
  TempDir dir_;
};

TEST_P(Engines, WriteThenReadFramesAndStream) {
  // -m -n 2: fewer frames than workers.
  for (const Args& extra : {Args{"-n", "5"}, Args{"-v", "-o", "-n", "5"}, Args{"-m", "-n", "2"}}) {
    TempDir d;
    size_t frames = std::stoul(extra.back());
    Args w = extra;
    w.insert(w.begin(), {"-w", "100"});
    w.push_back(d.path());
    RunLogged(w, frames);
    ASSERT_EQ(ListDir(d.path()).size(), frames);
    for (auto& name : ListDir(d.path()))
      EXPECT_TRUE(FileSizeOf(d / name) == 102400 && AllBytesAre(d / name, GetParam().fill)) << name;
    RunLogged({"-n", extra.back(), d.path()}, frames);
  }
  RunLogged({"-w", "64", "-s", "-n", "4", dir_ / "s"}, 4);
  EXPECT_EQ(FileSizeOf(dir_ / "s"), 4 * 65536);
  EXPECT_TRUE(AllBytesAre(dir_ / "s", GetParam().fill));
  RunLogged({"-z", "64", "-s", "-n", "8", "-l", "4", "-c", "50", dir_ / "s"}, 8);
}

TEST_P(Engines, PacedWriteAndReadShowEveryFrame) {
  RunResult w = Run({"-w", "4", "-n", "20", "-f", "100", dir_.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_TRUE(Has(w.out, "  Average queue usage .... "));
  EXPECT_FALSE(SemaphoreLeft(w.pid));
  // A normal paced read, and one too short to ever fill the pre-buffer: the
  // run must not hang, and every released frame is still shown.
  for (std::string frames : {"20", "3"}) {
    RunResult r = Run(
        {"-n", frames, "-f", "100", "-q", "8", "-b", "5", "-x", dir_ / "r.csv", dir_.path()}, 20);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> rows = LogRows(dir_ / "r.csv");
    ASSERT_EQ(rows.size(), std::stoul(frames));
    for (auto& row : rows) EXPECT_FALSE(Has(row, ",-")) << row;
    EXPECT_FALSE(SemaphoreLeft(r.pid));
  }
}

TEST_P(Engines, EndOfSequenceAndOpenFailures) {
  ASSERT_EQ(Run({"-w", "4", "-n", "6", dir_.path()}).status, 0);
  // Frame 6 is missing: the sync and async read engines read the sequence
  // on disk over and over (the threaded one has no such rule).
  if (std::string(GetParam().name) != "threaded") RunLogged({"-n", "14", dir_.path()}, 14);
  // A frame that exists but cannot be opened is reported, never looped over.
  ASSERT_EQ(symlink("frame000006.tst", (dir_ / "frame000006.tst").c_str()), 0);
  RunResult s = Run({"-n", "7", dir_.path()});
  EXPECT_EQ(s.status, 0);
  EXPECT_TRUE(Has(s.err, "Cannot open file \"" + dir_.path() + "/frame000006.tst\"\nError 40: "))
      << s.err;
  // A frame file replaced by a directory stops the write test in order.
  ASSERT_EQ(unlink((dir_ / "frame000004.tst").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ / "frame000004.tst").c_str(), 0700), 0);
  RunResult c = Run({"-w", "4", "-n", "6", dir_.path()});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(CountOf(c.err, "Error "), 1) << c.err;
  EXPECT_TRUE(Has(c.err, "/frame000004.tst\"\nError 21: Is a directory\n"));
  EXPECT_TRUE(Has(c.out, "  Overall frame rate"));
}

INSTANTIATE_TEST_SUITE_P(All, Engines, testing::ValuesIn(AllEngines()),
                         [](const auto& info) { return std::string(info.param.name); });

// The asynchronous engine fills its ring before anything is measured: a
// frame missing then is a set-up failure.
TEST(AsyncEngine, FillFailsFatallyWhenFewerFramesThanSlots) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "3", "-u", "0", dir.path()}).status, 0);
  RunResult r = RunOrdavi({"-a", "5", "-n", "10", "-u", "0", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(
      Has(r.err, "Cannot open file \"" + dir.path() +
                     "/frame000003.tst\"\n***FATAL*** Error 2: No such file or directory\n"))
      << r.err;
}

}  // namespace
