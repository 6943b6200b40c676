// The live screen of real runs: complete screens in order, none with -u 0 or
// --verbose, no wait for a long update interval once the last frame is done,
// and frames completed out of order shown only in order. Timings vary, so the
// checks are on the shapes of the lines; the exact text is the unit tests'.
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

std::vector<std::string> Words(const std::string& line);  // test_engines.cpp

namespace {

TEST(DisplayE2E, PacedRunWithPeriodShowsCompleteScreens) {
  TempDir dir;
  RunResult r = RunOk(Words("-w 2048 -n 60 -f 25 -u 1 -h 2 " + dir.path()));
  const std::vector<std::string> lines = SplitLines(r.out);
  const std::regex frames(R"(Frames transferred:   (\d+) \((\d+\.\d{3}) MB\))");
  const std::regex histRow(R"(( {6}| {2}[ \d]{2}\d%) \|[ *]{65} {4})");
  int screens = 0, lastFrames = 0;
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].rfind("Test parameters:      ", 0) != 0) continue;
    screens++;
    ASSERT_LT(i + 32, lines.size());
    const std::string* s = &lines[i];  // the screen's 33 lines
    EXPECT_EQ(s[0], "Test parameters:      -w2048 -n60 -f25 -q25 ");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s[2], m, frames)) << s[2];
    const int n = std::stoi(m[1]);
    EXPECT_EQ(m[2].str(), std::to_string(2 * n) + ".000");  // 2 MB a frame
    EXPECT_GT(n, lastFrames);                               // a screen only when frames completed
    lastFrames = n;
    // The paced run's and the period's blocks, and the histogram in full.
    EXPECT_EQ(s[6].rfind("Dropped frames:       ", 0), 0u);
    EXPECT_EQ(s[16].rfind("I/O stats over the last ", 0), 0u);
    for (int row = 21; row < 31; row++) EXPECT_TRUE(std::regex_match(s[row], histRow)) << s[row];
    EXPECT_EQ(s[32].rfind("  ms  <0.1", 0), 0u);
  }
  EXPECT_GE(screens, 1) << r.out;
  EXPECT_LE(lastFrames, 60);
  EXPECT_LT(r.out.rfind("Histogram of frame completion times:"), r.out.find("Overall frame rate"));
}

// No screen with -u 0 or --verbose; with a 30 s interval one screen, and the
// run still ends as soon as its 1.6 s of frames are done.
TEST(DisplayE2E, UpdateIntervalAndVerboseMode) {
  for (auto [opt, screens] : {std::pair{"-u0", 0}, {"--verbose", 0}, {"-u30", 1}}) {
    TempDir dir;
    const auto begin = std::chrono::steady_clock::now();
    RunResult r =
        RunOrdavi(Words("-w 1024 -n 40 -f 25 " + std::string(opt) + " " + dir.path()), 60);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15)) << opt;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountOf(r.out, "Test parameters:"), screens) << opt << r.out;
    EXPECT_TRUE(Contains(r.out, "Overall frame rate")) << opt;
  }
}

// Frame 2's directory lies on a file system frozen for 3 s, so its create
// waits while the other workers write every later frame: until it is done,
// no screen may count more than two frames.
TEST(DisplayE2E, OutOfOrderFramesAreShownOnlyInOrder) {
  TempDir dir;
  LoopFs fs(16);
  SKIP_WITHOUT_LOOP(fs);
  ASSERT_EQ(symlink(fs.frames().c_str(), (dir / "part02").c_str()), 0);
  ASSERT_TRUE(fs.Freeze(true));
  RunOptions o;
  o.whileRunning = [&fs](int) {
    usleep(3000000);
    fs.Freeze(false);
  };
  RunResult r = RunOrdavi(Words("-t 3 -o -d 1 -w 4 -n 10 -u 1 " + dir.path()), o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(FileExists(fs.frames() + "/frame000002.tst"));
  const std::regex shown("Frames transferred:   (\\d+) \\(");
  int held = 0;  // screens shown while frame 2 was held
  for (std::sregex_iterator m(r.out.begin(), r.out.end(), shown), end; m != end; ++m) {
    const int n = std::stoi((*m)[1]);
    EXPECT_TRUE(n <= 2 || n == 10) << n << " frames shown\n" << r.out;
    held += n < 10;
  }
  EXPECT_GE(held, 1) << r.out;
}

}  // namespace
