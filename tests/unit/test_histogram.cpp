// The completion-time histogram: columns of a file time, the scale bands,
// the picture and its label, and dropping records that left the period.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "report/histogram.h"

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

Drawn Draw(const Histogram& h) {
  Drawn d;
  d.scale = ComputeHistogramScale(h);
  DrawHistogram(h, d.scale, d.sbuf);
  return d;
}

Histogram WithCounts(std::vector<std::pair<int, int>> columnCounts) {
  Histogram h;
  ClearHistogram(&h);
  for (auto [column, count] : columnCounts) h.histogram[column] = count;
  return h;
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
    Histogram h = WithCounts({{0, c.tallest}});
    for (int col = 1, rest = 100 - c.tallest; rest > 0; col = col % (kHistColumns - 1) + 1, rest--)
      h.histogram[col]++;
    Drawn d = Draw(h);
    EXPECT_EQ(d.scale.histNum, 100);
    EXPECT_EQ(d.scale.histMax, c.tallest);
    EXPECT_EQ(d.scale.vertScale, c.scale) << "tallest " << c.tallest;
    char label[8];
    snprintf(label, sizeof(label), "%5d%%", c.scale);
    EXPECT_EQ(std::string(d.sbuf, 6), label);
    EXPECT_EQ(d.sbuf[6], ' ');
  }
}

TEST(HistogramPicture, EveryFrameAtOneMillisecond) {
  Histogram h;
  ClearHistogram(&h);
  for (int i = 0; i < 37; i++) HistogramEnter(&h, 0.001);
  Drawn d = Draw(h);
  EXPECT_EQ(d.scale.vertScale, 37);
  EXPECT_EQ(std::string(d.sbuf, 6), "  100%");
  for (int col = 0; col < kHistColumns; col++)
    EXPECT_EQ(ColumnStars(d.sbuf, col), col == 16 ? "**********" : "          ") << col;
  // The first and last columns are drawn too.
  d = Draw(WithCounts({{0, 1}, {kHistColumns - 1, 1}}));
  EXPECT_EQ(ColumnStars(d.sbuf, 0), "**********");
  EXPECT_EQ(ColumnStars(d.sbuf, kHistColumns - 1), "**********");
}

// Records closing at the given seconds (ticks of 1 us), each taking `fileMs`.
std::vector<TIME_STATS> Closing(const std::vector<double>& secs, double fileMs) {
  std::vector<TIME_STATS> v;
  for (double s : secs) {
    TIME_STATS ts{};
    ts.EoClose = static_cast<int64_t>(llround(s * 1e6));
    ts.Start = ts.EoClose - static_cast<int64_t>(llround(fileMs * 1e3));
    ts.EoOpenCreate = ts.EoReadWrite = ts.Start;
    v.push_back(ts);
  }
  return v;
}

TEST(HistogramDrop, DropsOldestFirstAndStopsAtTheFirstRecordInside) {
  // Record 2 completed late (out of order): it keeps record 3 counted.
  auto stats = Closing({1, 2, 15, 3, 12, 20}, 1.0);
  Histogram h;
  ClearHistogram(&h);
  for (const auto& ts : stats) HistogramEnter(&h, FileTimeSecs(ts, 1e-6));
  const int64_t t = 20000000 - 10 * 1000000;  // -h 10, newest at 20 s
  HistogramDrop(&h, stats.data(), 6, t, 1e-6);
  EXPECT_EQ(h.histFirstStat, 2);
  EXPECT_EQ(h.histogram[16], 4);

  // A record exactly at the threshold stays.
  auto edge = Closing({5, 10, 20}, 1.0);
  ClearHistogram(&h);
  for (const auto& ts : edge) HistogramEnter(&h, FileTimeSecs(ts, 1e-6));
  HistogramDrop(&h, edge.data(), 3, 10000000, 1e-6);
  EXPECT_EQ(h.histFirstStat, 1);
  EXPECT_EQ(h.histogram[16], 2);
}

}  // namespace
