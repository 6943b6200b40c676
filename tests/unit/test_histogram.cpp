// The completion-time histogram: columns of a file time, the scale bands,
// the picture and its label, and dropping records that left the period.
#include "report/histogram.h"
#include "test_support.h"

namespace {

// Stars of one column in the chart, top row first ("*" or " " per row).
std::string ColumnStars(const char* sbuf, int column) {
  std::string s;
  for (int r = 0; r < kHistRows; r++) s += sbuf[r * kHistRowWidth + 8 + column];
  return s;
}

struct Drawn {
  HistogramScale scale;
  char sbuf[kHistSbufSize];
};

// Draws a histogram holding the given counts in the given columns.
Drawn Draw(std::vector<std::pair<int, int>> columnCounts) {
  Histogram h;
  ClearHistogram(&h);
  for (auto [column, count] : columnCounts) h.histogram[column] += count;
  Drawn d;
  d.scale = ComputeHistogramScale(h);
  DrawHistogram(h, d.scale, d.sbuf);
  return d;
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
                        {0.0, 0},     {-0.002, 0},  {1e-12, 0}};
  for (const Case& c : cases) EXPECT_EQ(HistogramColumn(c.secs), c.column) << c.secs << " s";
  EXPECT_EQ(HistogramColumn(NAN), 0);
  EXPECT_EQ(HistogramColumn(INFINITY), 64);
}

TEST(HistogramScale, Bands) {
  // Of 100 frames, the tallest column holds `tallest`; the rest is spread one
  // frame per column. The scale (in frames, here also the label's percent)
  // is the whole count above 50%, then half, a fifth, a tenth, a twentieth.
  const struct {
    int tallest, scale;
  } cases[] = {{100, 100}, {51, 100}, {50, 50}, {21, 50}, {20, 20},
               {11, 20},   {10, 10},  {6, 10},  {5, 5}};
  for (const auto& c : cases) {
    std::vector<std::pair<int, int>> counts = {{0, c.tallest}};
    for (int i = 0; i < 100 - c.tallest; i++) counts.push_back({1 + i % (kHistColumns - 1), 1});
    Drawn d = Draw(counts);
    EXPECT_EQ(std::tie(d.scale.histNum, d.scale.histMax, d.scale.vertScale),
              std::make_tuple(100, c.tallest, c.scale));
    char label[8];
    snprintf(label, sizeof(label), "%5d%% ", c.scale);
    EXPECT_EQ(std::string(d.sbuf, 7), label);
  }
}

TEST(HistogramPicture, EveryFrameAtOneMillisecondAndTheOuterColumns) {
  Histogram h;
  ClearHistogram(&h);
  for (int i = 0; i < 37; i++) HistogramEnter(&h, 0.001);
  Drawn d;
  d.scale = ComputeHistogramScale(h);
  DrawHistogram(h, d.scale, d.sbuf);
  EXPECT_EQ(d.scale.vertScale, 37);
  EXPECT_EQ(std::string(d.sbuf, 6), "  100%");
  for (int col = 0; col < kHistColumns; col++)
    EXPECT_EQ(ColumnStars(d.sbuf, col), col == 16 ? "**********" : "          ") << col;
  d = Draw({{0, 1}, {kHistColumns - 1, 1}});
  EXPECT_EQ(ColumnStars(d.sbuf, 0) + ColumnStars(d.sbuf, kHistColumns - 1), std::string(20, '*'));
}

// Records that close at the given seconds (ticks of 1 us), each taking 1 ms,
// entered and then dropped below `threshold`: the first record kept and the
// count left in the 1 ms column.
std::pair<int, int> AfterDrop(const std::vector<double>& closing, int64_t threshold) {
  std::vector<TIME_STATS> stats;
  Histogram h;
  ClearHistogram(&h);
  for (double s : closing) {
    TIME_STATS ts{};
    ts.EoClose = static_cast<int64_t>(llround(s * 1e6));
    ts.Start = ts.EoOpenCreate = ts.EoReadWrite = ts.EoClose - 1000;
    stats.push_back(ts);
    HistogramEnter(&h, FileTimeSecs(ts, 1e-6));
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

}  // namespace
