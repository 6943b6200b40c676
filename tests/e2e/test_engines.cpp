// End-to-end: what every engine (sync, async, threaded) must do the same way,
// on real files, plus the few rules of one engine alone.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

class Engines : public testing::TestWithParam<Engine> {
 protected:
  RunResult Run(std::vector<std::string> args, int timeout = 60, int interruptMs = -1) {
    args.insert(args.end() - 1, {"-u", "0"});
    return RunOrdavi(With(GetParam(), args), timeout, interruptMs);
  }
  TempDir dir_;
};

TEST_P(Engines, WriteThenReadFramesAndStream) {
  for (auto order : std::vector<std::vector<std::string>>{{}, {"-v", "-o"}, {"-m", "-n", "2"}}) {
    TempDir d;
    std::vector<std::string> w = {"-w", "100", "-n", "5"};
    w.insert(w.end(), order.begin(), order.end());
    w.push_back(d.path());
    RunResult r = Run(w);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    int frames = order.size() == 3 ? 2 : 5;  // -n 2: fewer frames than workers
    ASSERT_EQ(ListDir(d.path()).size(), size_t(frames));
    for (auto& name : ListDir(d.path())) {
      EXPECT_EQ(FileSizeOf(d / name), 102400) << name;
      EXPECT_TRUE(AllBytesAre(d / name, GetParam().fill)) << name;
    }
    RunResult rd = Run({"-n", std::to_string(frames), "-x", dir_ / "r.csv", d.path()});
    ASSERT_EQ(rd.status, 0) << rd.err;
    EXPECT_EQ(rd.err, "");
    EXPECT_EQ(LogRows(dir_ / "r.csv").size(), size_t(frames));
  }
  RunResult s = Run({"-w", "64", "-s", "-n", "4", dir_ / "s"});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(FileSizeOf(dir_ / "s"), 4 * 65536);
  EXPECT_TRUE(AllBytesAre(dir_ / "s", GetParam().fill));
  RunResult rs =
      Run({"-z", "64", "-s", "-n", "8", "-l", "4", "-c", "50", "-x", dir_ / "s.csv", dir_ / "s"});
  ASSERT_EQ(rs.status, 0) << rs.err;
  EXPECT_EQ(LogRows(dir_ / "s.csv").size(), 8u);
}

TEST_P(Engines, PacedWriteAndReadShowEveryFrame) {
  RunResult w = Run({"-w", "4", "-n", "20", "-f", "100", "-x", dir_ / "w.csv", dir_.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_NE(w.out.find("  Average queue usage .... "), std::string::npos);
  EXPECT_EQ(LogRows(dir_ / "w.csv").size(), 20u);
  EXPECT_FALSE(SemaphoreLeft(w.pid));
  // A normal paced read, and one too short to ever fill the pre-buffer: the
  // run must not hang, and every released frame is still shown.
  for (std::string frames : {"20", "3"}) {
    RunResult r = Run(
        {"-n", frames, "-f", "100", "-q", "8", "-b", "5", "-x", dir_ / "r.csv", dir_.path()}, 20);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> rows = LogRows(dir_ / "r.csv");
    ASSERT_EQ(rows.size(), size_t(std::stoi(frames)));
    for (auto& row : rows) EXPECT_EQ(row.find(",-"), std::string::npos) << row;
    EXPECT_FALSE(SemaphoreLeft(r.pid));
  }
}

TEST_P(Engines, EndOfSequenceAndOpenFailures) {
  ASSERT_EQ(Run({"-w", "4", "-n", "6", dir_.path()}).status, 0);
  // Frame 6 is missing: the sync and async read engines read the sequence
  // on disk over and over (the threaded one has no such rule).
  if (std::string(GetParam().name) != "threaded") {
    RunResult r = Run({"-n", "14", "-x", dir_ / "l.csv", dir_.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(LogRows(dir_ / "l.csv").size(), 14u);
  }
  // A frame that exists but cannot be opened is reported, never looped over.
  ASSERT_EQ(symlink("frame000006.tst", (dir_ / "frame000006.tst").c_str()), 0);
  RunResult s = Run({"-n", "7", dir_.path()});
  EXPECT_EQ(s.status, 0);
  EXPECT_NE(s.err.find("Cannot open file \"" + dir_.path() + "/frame000006.tst\"\nError 40: "),
            std::string::npos)
      << s.err;
  // A frame file replaced by a directory stops the write test in order.
  ASSERT_EQ(unlink((dir_ / "frame000004.tst").c_str()), 0);
  ASSERT_EQ(mkdir((dir_ / "frame000004.tst").c_str(), 0700), 0);
  RunResult c = Run({"-w", "4", "-n", "6", dir_.path()});
  EXPECT_EQ(c.status, 0);
  EXPECT_EQ(CountOf(c.err, "Error "), 1) << c.err;
  EXPECT_NE(c.err.find("/frame000004.tst\"\nError 21: Is a directory\n"), std::string::npos);
  EXPECT_NE(c.out.find("  Overall frame rate"), std::string::npos);
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
  EXPECT_NE(r.err.find("Cannot open file \"" + dir.path() +
                       "/frame000003.tst\"\n***FATAL*** Error 2: No such file or directory\n"),
            std::string::npos)
      << r.err;
}

}  // namespace
