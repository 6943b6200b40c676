// The live screen of real runs: its blocks and histogram frame laid out line
// by line, no screen with -u 0 or --verbose, the I/O-stats block with -h, and
// no wait for a long update interval once the last frame is done.
//
// Timings vary from run to run, so the checks are on the shapes of the lines
// and on figures that follow from the run's settings, never on speeds.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const char kScreenStart[] = "Test parameters:      ";

// The screens in a run's output: each from its "Test parameters:" line up
// to the empty line after the histogram's axis labels.
std::vector<std::vector<std::string>> Screens(const std::string& out) {
  std::vector<std::vector<std::string>> screens;
  const std::vector<std::string> lines = SplitLines(out);
  for (size_t i = 0; i < lines.size(); i++) {
    if (lines[i].rfind(kScreenStart, 0) != 0) continue;
    std::vector<std::string> screen;
    for (size_t j = i; j < lines.size(); j++) {
      screen.push_back(lines[j]);
      if (lines[j].rfind("  ms  <0.1", 0) == 0) {
        if (j + 1 < lines.size()) screen.push_back(lines[j + 1]);
        break;
      }
    }
    screens.push_back(screen);
  }
  return screens;
}

// Checks one screen line by line; `params` is the expected parameter string,
// `dataMB` the megabytes one frame moves.
void ExpectScreenLayout(const std::vector<std::string>& s, const std::string& params, bool paced,
                        bool period, double dataMB) {
  const std::regex duration(R"(Test duration:        \d+ secs)");
  const std::regex frames(R"(Frames transferred:   (\d+) \((\d+\.\d{3}) MB\))");
  const std::regex fastest(R"(Fastest frame:        \d+\.\d{3} ms \(\d+\.\d{2} MB/s\))");
  const std::regex slowest(R"(Slowest frame:        \d+\.\d{3} ms \(\d+\.\d{2} MB/s\))");
  const std::regex row(R"((  Last 1s|       5s|      30s|  Overall): [ \d]{2}\d\.\d{3} ms  )"
                       R"([ \d]{3}\d\.\d{2} ms  [ \d]{3}\d\.\d{2} ms  [ \d]{3}\d\.\d{2} MB/s  )"
                       R"([ \d]{2}\d\.\d fps)");
  const std::regex histRow(R"(( {6}| {2}[ \d]{2}\d%) \|[ *]{65} {4})");

  size_t i = 0;
  auto next = [&]() -> std::string { return i < s.size() ? s[i++] : std::string("<missing>"); };
  EXPECT_EQ(next(), kScreenStart + params);
  EXPECT_TRUE(std::regex_match(next(), duration)) << s[i - 1];
  std::smatch m;
  std::string line = next();
  ASSERT_TRUE(std::regex_match(line, m, frames)) << line;
  const int n = std::stoi(m[1]);
  EXPECT_GE(n, 1);
  char mb[32];
  snprintf(mb, sizeof(mb), "%.3f", double(n) * dataMB);
  EXPECT_EQ(m[2].str(), mb);
  EXPECT_TRUE(std::regex_match(next(), fastest)) << s[i - 1];
  EXPECT_TRUE(std::regex_match(next(), slowest)) << s[i - 1];
  EXPECT_EQ(next(), "");
  if (paced) {
    EXPECT_TRUE(std::regex_match(next(), std::regex(R"(Dropped frames:       \d+)"))) << s[i - 1];
    EXPECT_TRUE(std::regex_match(next(), std::regex(R"(Current queue usage:  \d+)"))) << s[i - 1];
    EXPECT_EQ(next(), "");
  }
  EXPECT_EQ(next(), "Averaged details:");
  EXPECT_EQ(next(), "              Open        I/O         Frame      Data rate   Frame rate");
  for (const char* head : {"  Last 1s", "       5s", "      30s", "  Overall"}) {
    line = next();
    EXPECT_TRUE(std::regex_match(line, row)) << line;
    EXPECT_EQ(line.rfind(head, 0), 0u) << line;
  }
  EXPECT_EQ(next(), "");
  if (period) {
    EXPECT_TRUE(std::regex_match(next(), std::regex(R"(I/O stats over the last \d+ seconds:)")))
        << s[i - 1];
    EXPECT_TRUE(std::regex_match(
        next(), std::regex(R"(          Fastest I/O: \d+\.\d{3} ms \(\d+\.\d{2} MB/s\))")))
        << s[i - 1];
    EXPECT_TRUE(std::regex_match(
        next(), std::regex(R"(          Slowest I/O: \d+\.\d{3} ms \(\d+\.\d{2} MB/s\))")))
        << s[i - 1];
    EXPECT_EQ(next(), "");
  }
  EXPECT_EQ(next(), "Histogram of frame completion times:");
  std::vector<std::string> rows;
  for (int r = 0; r < 10; r++) {
    rows.push_back(next());
    EXPECT_TRUE(std::regex_match(rows.back(), histRow)) << rows.back();
    if (r > 0) {
      EXPECT_EQ(rows.back().substr(0, 6), "      ");
    }
  }
  EXPECT_NE(rows[0].substr(0, 6), "      ");  // the scale label
  // Bars stand on the bottom row: a star has a star under it.
  bool anyStar = false;
  for (int r = 0; r < 9; r++) {
    for (size_t c = 8; c < 73 && c < rows[r].size(); c++) {
      if (rows[r][c] == '*') {
        EXPECT_EQ(rows[r + 1][c], '*') << "row " << r << " col " << c;
      }
    }
  }
  for (size_t c = 8; c < 73 && c < rows[9].size(); c++) anyStar |= rows[9][c] == '*';
  EXPECT_TRUE(anyStar) << "no bar in the bottom row";
  EXPECT_EQ(next(), "       +|----|-----|----|----|-----|----|----|-----|----|----|-----|----|");
  EXPECT_EQ(next(), "  ms  <0.1  .2    .5    1    2     5   10   20    50   100  200   500  >1s");
  EXPECT_EQ(next(), "");
}

TEST(DisplayE2E, PacedRunShowsCompleteScreens) {
  TempDir dir;
  RunResult r = RunOrdavi({"-w", "1024", "-n", "60", "-f", "25", "-u", "1", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto screens = Screens(r.out);
  ASSERT_GE(screens.size(), 1u) << r.out;
  int lastFrames = 0;
  for (const auto& s : screens) {
    ExpectScreenLayout(s, "-w1024 -n60 -f25 -q25 ", true, false, 1);
    // Frames only grow from one screen to the next, and only changed counts are shown.
    const int n = std::stoi(s[2].substr(22));
    EXPECT_GT(n, lastFrames);
    lastFrames = n;
  }
  EXPECT_LE(lastFrames, 60);
  // The summary follows the last screen.
  EXPECT_LT(r.out.rfind("Histogram of frame completion times:"), r.out.find("Overall frame rate"));
}

TEST(DisplayE2E, HistogramPeriodShowsIoStats) {
  TempDir dir;
  RunResult r = RunOrdavi({"-w", "2048", "-n", "75", "-f", "25", "-u", "1", "-h", "2", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto screens = Screens(r.out);
  ASSERT_GE(screens.size(), 1u) << r.out;
  for (const auto& s : screens) ExpectScreenLayout(s, "-w2048 -n75 -f25 -q25 ", true, true, 2);
}

TEST(DisplayE2E, NoScreenWithoutAnUpdateIntervalOrInVerboseMode) {
  for (const char* opt : {"-u0", "--verbose"}) {
    TempDir dir;
    RunResult r = RunOrdavi({"-w", "1024", "-n", "40", "-f", "25", opt, dir.path()});
    ASSERT_EQ(r.status, 0) << opt << r.err;
    EXPECT_EQ(r.out.find("Test parameters:"), std::string::npos) << opt;
    EXPECT_EQ(r.out.find("Averaged details:"), std::string::npos) << opt;
    EXPECT_EQ(r.out.find("Histogram of frame completion times:"), std::string::npos) << opt;
    EXPECT_NE(r.out.find("Overall frame rate"), std::string::npos) << opt;
  }
}

TEST(DisplayE2E, LooksEverySecondUntilTheFirstFrames) {
  TempDir dir;
  // A 2 s pause before the clock starts, then 4 s of frames at 25 fps. With
  // -u 5 the thread still looks every second until it first finds frames
  // (about one second's worth), and its next look would come after the run.
  RunResult r =
      RunOrdavi({"-w", "1024", "-n", "100", "-f", "25", "-p", "2", "-u", "5", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto screens = Screens(r.out);
  ASSERT_EQ(screens.size(), 1u) << r.out;
  EXPECT_LT(std::stoi(screens[0][2].substr(22)), 60) << screens[0][2];
}

TEST(DisplayE2E, LongUpdateIntervalDoesNotDelayTheExit) {
  TempDir dir;
  const auto begin = std::chrono::steady_clock::now();
  // 40 frames at 25 fps: about 1.6 s. The first look comes after one second
  // and finds frames, so the next wait would be 30 s.
  RunResult r = RunOrdavi({"-w", "1024", "-n", "40", "-f", "25", "-u", "30", dir.path()}, 60);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Screens(r.out).size(), 1u) << r.out;
  EXPECT_LT(secs, 15.0) << "the display thread kept the process waiting";
}

}  // namespace
