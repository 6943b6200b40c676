// The live screen and its histogram, on records with a clock of one tick per microsecond.
#include <regex>

#include "screen/display_screen.h"
#include "test_support.h"

namespace {

constexpr int64_t kFreq = 1000000;
constexpr double kTick = 1e-6;

// A record that closes `endSecs` after the clock origin, with open, I/O and
// close phases of the given microseconds.
TIME_STATS Rec(double endSecs, int64_t openUs, int64_t ioUs, int64_t closeUs = 0) {
  TIME_STATS ts{};
  ts.EoClose = static_cast<int64_t>(llround(endSecs * kFreq));
  ts.EoReadWrite = ts.EoClose - closeUs;
  ts.EoOpenCreate = ts.EoReadWrite - ioUs;
  ts.Start = ts.EoOpenCreate - openUs;
  return ts;
}

DisplaySettings Settings(int histogramPeriod = 0, int frameRate = 0, int dataSize = 4194304) {
  return {kTick, kFreq, dataSize, histogramPeriod, frameRate, "-w4096 -n8 -f25 -q25 "};
}

// The screen of a run that started at `start` ticks, 3 frames dropped and 7
// queued, refreshed as the first record and then the others come in.
std::string Text(const std::vector<TIME_STATS>& stats, int64_t start, DisplaySettings settings) {
  DisplayState state;
  Screen screen;
  for (int n : {1, int(stats.size())})
    RefreshScreen(&state, stats.data(), n, start, settings, &screen);
  screen.dropFrameCount = 3;
  screen.curQueueUsage = 7;
  return FormatScreen(screen, settings);
}

TEST(HistogramColumn, NominalTimesLandInTheirColumns) {
  struct Case {
    double secs;
    int column;
  };
  // The decades, the ticks between them, the column edges (column 1 starts
  // near 0.107461 ms, column 64 near 930.572 ms) and times out of range.
  const Case cases[] = {{0.0001, 0},  {0.001, 16},  {0.010, 32}, {0.100, 48},    {1.0, 64},
                        {0.0002, 5},  {0.0005, 11}, {0.002, 21}, {0.005, 27},    {0.020, 37},
                        {0.050, 43},  {0.200, 53},  {0.500, 59}, {0.0001074, 0}, {0.0001075, 1},
                        {0.9305, 63}, {0.9306, 64}, {5.0, 64},   {1e9, 64},      {0.00005, 0},
                        {0.0, 0},     {-0.002, 0},  {1e-12, 0},  {NAN, 0},       {INFINITY, 64}};
  for (const Case& c : cases) EXPECT_EQ(HistogramColumn(c.secs), c.column) << c.secs << " s";
}

// Both outer columns are drawn.
TEST(HistogramDraw, OuterColumns) {
  Histogram h;
  ClearHistogram(&h);
  h.histogram[0] = h.histogram[kHistColumns - 1] = 1;
  char sbuf[kHistSbufSize];
  DrawHistogram(h, ComputeHistogramScale(h), sbuf);
  EXPECT_EQ(std::string(sbuf + 8, kHistColumns), "*" + std::string(kHistColumns - 2, ' ') + "*");
}

// Enters 1 ms records closing at the given seconds and drops those closing
// before `threshold`: the first record kept and the count left.
std::pair<int, int> AfterDrop(const std::vector<double>& closing, int64_t threshold) {
  std::vector<TIME_STATS> stats;
  Histogram h;
  ClearHistogram(&h);
  for (double s : closing) {
    stats.push_back(Rec(s, 0, 1000));
    HistogramEnter(&h, FileTimeSecs(stats.back(), 1e-6));
  }
  HistogramDrop(&h, stats.data(), int(stats.size()), threshold, 1e-6);
  return {h.histFirstStat, h.histogram[16]};
}

TEST(HistogramDrop, DropsOldestFirstAndStopsAtTheFirstRecordInside) {
  // -h 10, newest at 20 s. Record 2 completed late (out of order): it keeps
  // record 3 counted. A record exactly at the threshold stays.
  EXPECT_EQ(AfterDrop({1, 2, 15, 3, 12, 20}, 10000000), std::make_pair(2, 4));
  EXPECT_EQ(AfterDrop({5, 10, 20}, 10000000), std::make_pair(1, 2));
}

// One frame is both the fastest and the slowest; 0.4 s into a run every
// window spans the run so far.
TEST(DisplayScreen, EarlyInTheRun) {
  const std::string one = "        5.000 ms (800.00 MB/s)\n";
  EXPECT_TRUE(Has(Text({Rec(1, 500, 4500)}, 0, Settings()),
                  "Fastest frame:" + one + "Slowest frame:" + one));
  std::vector<TIME_STATS> stats = {Rec(0.2, 100, 900), Rec(0.3, 200, 1800), Rec(0.4, 300, 700),
                                   Rec(0.5, 400, 4600)};
  const std::string figures = "   0.250 ms     2.00 ms   100.00 ms    40.00 MB/s   10.0 fps\n";
  EXPECT_TRUE(Has(Text(stats, 100000, Settings()), "  Last 1s:" + figures + "       5s:" + figures +
                                                       "      30s:" + figures +
                                                       "  Overall:" + figures));
}

TEST(DisplayScreen, WholeScreenText) {
  // A paced run with -h 10: eight frames over 40 s, the run started at 5 s.
  std::vector<TIME_STATS> stats = {
      Rec(5.5, 200, 1810), Rec(8, 300, 4700),    Rec(13.5, 100, 900),        Rec(25, 1000, 19000),
      Rec(38, 500, 9500),  Rec(41.2, 500, 9500), Rec(44.5, 400, 7600, 2000), Rec(45, 240, 1760)};
  // The period keeps records 4 to 7: three frames of 10 ms (column 32) and
  // one of 2 ms (column 21); the top row stands for all four.
  std::string rows;
  for (int r = 0; r < 10; r++) {
    std::string row = (r ? "       |" : "  100% |") + std::string(65, ' ') + "    \n";
    if (r >= 7) row[8 + 21] = '*';
    if (r >= 2) row[8 + 32] = '*';
    rows += row;
  }
  const std::string kOverall =
      "  Overall:   0.405 ms     6.85 ms  5000.00 ms     0.80 MB/s    0.2 fps\n";
  const std::string expected =
      "Test parameters:      -w4096 -n8 -f25 -q25 \n"
      "Test duration:        40 secs\n"
      "Frames transferred:   8 (32.000 MB)\n"
      "Fastest frame:        1.000 ms (4000.00 MB/s)\n"
      "Slowest frame:        20.000 ms (200.00 MB/s)\n"
      "\n"
      "Dropped frames:       3\n"
      "Current queue usage:  7\n"
      "\n"
      "Averaged details:\n"
      "              Open        I/O         Frame      Data rate   Frame rate\n"
      "  Last 1s:   0.320 ms     4.68 ms  1900.00 ms     2.11 MB/s    0.5 fps\n"
      "       5s:   0.380 ms     6.29 ms  2333.33 ms     1.71 MB/s    0.4 fps\n"
      "      30s:   0.528 ms     9.47 ms  6300.00 ms     0.63 MB/s    0.2 fps\n" +
      kOverall +
      "\n"
      "I/O stats over the last 20 seconds:\n"
      "          Fastest I/O: 2.000 ms (2000.00 MB/s)\n"
      "          Slowest I/O: 10.000 ms (400.00 MB/s)\n"
      "\n"
      "Histogram of frame completion times:\n" +
      rows +
      "       +|----|-----|----|----|-----|----|----|-----|----|----|-----|----|\n"
      "  ms  <0.1  .2    .5    1    2     5   10   20    50   100  200   500  >1s\n"
      "\n";
  EXPECT_EQ(Text(stats, 5000000, Settings(10, 25)), expected);

  // Unpaced and without -h, the dropped-frame and I/O-stats blocks go, and
  // the histogram holds all eight frames (three of them at 10 ms: 50%).
  const std::string text = Text(stats, 5000000, Settings());
  EXPECT_TRUE(text.starts_with(expected.substr(0, expected.find("Dropped")) + "Averaged")) << text;
  EXPECT_TRUE(Has(text, kOverall + "\nHistogram of frame completion times:\n   50% |"));
}

// A frame that took no measurable time (an empty frame, one within a clock
// tick) shows a rate of 0, never "nan" or "inf".
TEST(DisplayScreen, ZeroTimeFramesShowNoNanOrInf) {
  std::vector<TIME_STATS> stats = {Rec(1, 0, 0), Rec(1.5, 0, 0), Rec(2, 0, 0)};
  for (int dataSize : {0, 4096}) {
    const std::string text = Text(stats, 1000000, Settings(5, 0, dataSize));
    EXPECT_FALSE(std::regex_search(text, std::regex(R"((^|[ (])-?(nan|inf)\b)", std::regex::icase)))
        << text;
    EXPECT_TRUE(Has(text, "Fastest frame:        0.000 ms (0.00 MB/s)")) << text;
  }
}

}  // namespace
