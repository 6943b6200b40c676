// The live screen of real runs: its blocks and histogram frame in order, no
// screen with -u 0 or --verbose, and no wait for a long update interval once
// the last frame is done. Timings vary, so the checks are on the shapes of
// the lines, never on speeds; the exact text is the unit tests' business.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// The screens of a run's output, from "Test parameters:" to the axis labels.
std::vector<std::vector<std::string>> Screens(const std::string& out) {
  std::vector<std::vector<std::string>> screens;
  const std::vector<std::string> lines = SplitLines(out);
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].rfind("Test parameters:      ", 0) != 0) continue;
    screens.emplace_back();
    for (size_t j = i; j < lines.size(); j++) {
      screens.back().push_back(lines[j]);
      if (lines[j].rfind("  ms  <0.1", 0) == 0) break;
    }
  }
  return screens;
}

TEST(DisplayE2E, PacedRunWithPeriodShowsCompleteScreens) {
  TempDir dir;
  RunResult r = RunOk({"-w", "2048", "-n", "60", "-f", "25", "-u", "1", "-h", "2", dir.path()});
  const auto screens = Screens(r.out);
  ASSERT_GE(screens.size(), 1u) << r.out;
  const std::regex frames(R"(Frames transferred:   (\d+) \((\d+\.\d{3}) MB\))");
  const std::regex histRow(R"(( {6}| {2}[ \d]{2}\d%) \|[ *]{65} {4})");
  int lastFrames = 0;
  for (const auto& s : screens) {
    ASSERT_EQ(s.size(), 33u);
    EXPECT_EQ(s[0], "Test parameters:      -w2048 -n60 -f25 -q25 ");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s[2], m, frames)) << s[2];
    int n = std::stoi(m[1]);
    EXPECT_EQ(m[2].str(), std::to_string(2 * n) + ".000");  // 2 MB a frame
    EXPECT_GT(n, lastFrames);                               // a screen only when frames completed
    lastFrames = n;
    // The paced run's and the period's blocks are there (their text is the
    // unit tests' business), and the histogram is drawn in full.
    EXPECT_EQ(s[6].rfind("Dropped frames:       ", 0), 0u);
    EXPECT_EQ(s[16].rfind("I/O stats over the last ", 0), 0u);
    for (int row = 21; row < 31; row++) EXPECT_TRUE(std::regex_match(s[row], histRow)) << s[row];
  }
  EXPECT_LE(lastFrames, 60);
  EXPECT_LT(r.out.rfind("Histogram of frame completion times:"), r.out.find("Overall frame rate"));
}

TEST(DisplayE2E, NoScreenWithoutAnUpdateIntervalOrInVerboseMode) {
  for (const char* opt : {"-u0", "--verbose"}) {
    TempDir dir;
    RunResult r = RunOk({"-w", "1024", "-n", "40", "-f", "25", opt, dir.path()});
    EXPECT_EQ(r.out.find("Test parameters:"), std::string::npos) << opt;
    EXPECT_NE(r.out.find("Overall frame rate"), std::string::npos) << opt;
  }
}

TEST(DisplayE2E, LongUpdateIntervalDoesNotDelayTheExit) {
  TempDir dir;
  const auto begin = std::chrono::steady_clock::now();
  // About 1.6 s of frames: the first look finds frames, the next wait is 30 s.
  RunResult r = RunOrdavi({"-w", "1024", "-n", "40", "-f", "25", "-u", "30", dir.path()}, 60);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Screens(r.out).size(), 1u) << r.out;
  EXPECT_LT(secs, 15.0) << "the display thread kept the process waiting";
}

}  // namespace
