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
  const Case cases[] = {
      {0.0001, 0},
      {0.001, 16},
      {0.010, 32},
      {0.100, 48},
      {1.0, 64},
      {5.0, 64},
      {0.00005, 0},
      {0.0, 0},
      {-0.002, 0},
      {1e-12, 0},
      {1e9, 64},
      // Column edges: column 1 starts near 0.107461 ms, column 64 near 930.572 ms.
      {0.0001074, 0},
      {0.0001075, 1},
      {0.9305, 63},
      {0.9306, 64},
      {0.0002, 5},
      {0.0005, 11},
      {0.002, 21},
      {0.005, 27},
      {0.020, 37},
      {0.050, 43},
      {0.200, 53},
      {0.500, 59},
  };
  for (const Case& c : cases) EXPECT_EQ(HistogramColumn(c.secs), c.column) << c.secs << " s";
  EXPECT_EQ(HistogramColumn(NAN), 0);
  EXPECT_EQ(HistogramColumn(INFINITY), 64);
}

TEST(HistogramScale, Bands) {
  struct Case {
    int tallest, rest, vertScale, label;
  };
  // The rest is spread one frame per column so that it never is the tallest.
  const Case cases[] = {
      {100, 0, 100, 100},  // 100%: everything in one column
      {51, 49, 100, 100},  // 51%: still the whole count
      {50, 50, 50, 50},    // 50%
      {21, 79, 50, 50},    // 21%: half
      {20, 80, 20, 20},    // 20%: a fifth
      {11, 89, 20, 20},    // 11%
      {10, 90, 10, 10},    // 10%: a tenth
      {6, 94, 10, 10},     // 6%
      {5, 95, 5, 5},       // 5%: a twentieth
  };
  for (const Case& c : cases) {
    Histogram h = WithCounts({{0, c.tallest}});
    int rest = c.rest;
    for (int col = 1; rest > 0; col = col % (kHistColumns - 1) + 1, rest--) h.histogram[col]++;
    Drawn d = Draw(h);
    EXPECT_EQ(d.scale.histNum, c.tallest + c.rest);
    EXPECT_EQ(d.scale.histMax, c.tallest);
    EXPECT_EQ(d.scale.vertScale, c.vertScale) << "tallest " << c.tallest;
    char label[8];
    snprintf(label, sizeof(label), "%5d%%", c.label);
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
  EXPECT_EQ(ColumnStars(d.sbuf, 16), "**********");
  for (int col = 0; col < kHistColumns; col++) {
    if (col != 16) {
      EXPECT_EQ(ColumnStars(d.sbuf, col), "          ") << col;
    }
  }
}

TEST(HistogramPicture, Layout) {
  Drawn d = Draw(WithCounts({{0, 1}, {64, 1}}));
  const std::string text = d.sbuf;
  const std::string axis = kHistAxisText;
  ASSERT_EQ(text.size(), static_cast<size_t>(kHistRows * kHistRowWidth) + axis.size());
  for (int r = 0; r < kHistRows; r++) {
    const std::string row = text.substr(r * kHistRowWidth, kHistRowWidth);
    if (r > 0) {
      EXPECT_EQ(row.substr(0, 7), "       ");
    }
    EXPECT_EQ(row[7], '|');
    EXPECT_EQ(row.substr(73), "    \n");
    EXPECT_EQ(row[8], '*');   // column 0
    EXPECT_EQ(row[72], '*');  // column 64
  }
  EXPECT_EQ(text.substr(kHistRows * kHistRowWidth), axis);

  // The axis: "+" under the rows' bar, tick marks over 0.1 ms ... 1 s.
  const std::string ticks = axis.substr(0, axis.find('\n'));
  EXPECT_EQ(ticks.substr(0, 8), "       +");
  const int tickPositions[] = {8, 13, 19, 24, 29, 35, 40, 45, 51, 56, 61, 67, 72};
  std::string expected(73, '-');
  expected.replace(0, 8, "       +");
  for (int p : tickPositions) expected[p] = '|';
  EXPECT_EQ(ticks, expected);
  const double tickSecs[] = {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01,
                             0.02,   0.05,   0.1,    0.2,   0.5,   1.0};
  for (int i = 0; i < 13; i++) EXPECT_EQ(HistogramColumn(tickSecs[i]) + 8, tickPositions[i]);
  EXPECT_EQ(axis.substr(ticks.size() + 1),
            "  ms  <0.1  .2    .5    1    2     5   10   20    50   100  200   500  >1s\n");
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
