// ordavi-report's figures: nearest-rank percentiles, the histogram columns
// of the live screen and the frame-queue model on hand-made runs.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "analysis.h"

namespace {

using namespace report;

std::vector<int64_t> Range(int64_t from, int64_t to) {
  std::vector<int64_t> v(size_t(to - from + 1));
  std::iota(v.begin(), v.end(), from);
  return v;
}

TEST(ReportPercentile, NearestRank) {
  struct Case {
    std::vector<int64_t> values;
    int64_t ppm;
    int64_t expected;
  };
  const Case cases[] = {
      {Range(1, 10), 500000, 5},       {Range(1, 10), 900000, 9},
      {Range(1, 10), 990000, 10},      {Range(1, 100), 990000, 99},
      {Range(1, 100), 999000, 100},    {Range(1, 1000), 999000, 999},
      {Range(1, 10000), 999900, 9999}, {{7}, 999900, 7},
      {{5, 1, 5, 1}, 500000, 1},       {{5, 1, 5, 1}, 510000, 5},
      {{3, 9, 1, 4}, 250000, 1},
  };
  for (const Case& c : cases) {
    std::vector<int64_t> v = c.values;
    std::reverse(v.begin(), v.end());
    EXPECT_EQ(NearestRank(v, c.ppm), c.expected) << c.values.size() << " values, " << c.ppm;
  }
}

TEST(ReportPercentile, PhaseStatsInMilliseconds) {
  std::vector<int64_t> us = Range(1, 1000);
  for (int64_t& v : us) v *= 1000;  // 1 ms .. 1000 ms
  std::reverse(us.begin(), us.end());
  PhaseStats s = ComputePhase(us);
  EXPECT_EQ(s.count, 1000);
  EXPECT_DOUBLE_EQ(s.minMs, 1);
  EXPECT_DOUBLE_EQ(s.maxMs, 1000);
  EXPECT_DOUBLE_EQ(s.meanMs, 500.5);
  EXPECT_NEAR(s.stddevMs, 288.6749, 1e-4);
  const double expected[] = {500, 900, 990, 999, 1000};
  for (size_t i = 0; i < kPercentilesPpm.size(); i++) EXPECT_DOUBLE_EQ(s.pctMs[i], expected[i]);
}

TEST(ReportHistogram, LiveScreenColumns) {
  const std::pair<int64_t, int> cases[] = {{0, 0},      {50, 0},      {100, 0},      {1000, 16},
                                           {10000, 32}, {100000, 48}, {1000000, 64}, {5000000, 64}};
  for (auto [us, column] : cases) EXPECT_EQ(HistogramColumn(us), column) << us << " us";
}

TEST(ReportModel, QueueAndPreBufferAsOrdaviSetsThem) {
  struct Case {
    double rate;
    bool write;
    int q, b;
    int expectQ, expectB;
  };
  const Case cases[] = {
      {23.976, false, 0, -1, 24, 5}, {25, false, 0, 30, 25, 24}, {24, true, 0, -1, 24, 0},
      {2, false, 0, -1, 2, 1},       {60, false, 10, -1, 10, 5},
  };
  for (const Case& c : cases) {
    ModelConfig m = ConfigForRate(c.rate, c.write, c.q, c.b);
    EXPECT_EQ(m.queueSize, c.expectQ) << c.rate;
    EXPECT_EQ(m.preBuffer, c.expectB) << c.rate;
  }
}

// 25 fps (a 40 ms period), queue 25: the queue holds 1000 ms of frames, so a
// storage that is fast except for one stall drops the periods of the stall
// beyond that: 1500 ms leaves 500 ms uncovered, whose ticks (1040 ms to
// 1480 ms after the stall began) find nothing: 12 drops, in playback and
// capture alike. Frames of 50 ms each: playback starts at 300 ms with six
// frames and then finds the queue empty at 68 of its 367 periods before the
// last frame is read; capture fills the queue by about 5 s and from then on
// loses one period in five, 44 in all until its 300th frame is queued.
TEST(ReportModel, HandMadeRuns) {
  const int64_t ms = 1000000;
  auto run = [&](int64_t each, int64_t stall, int n) {
    std::vector<int64_t> v(size_t(n), each * ms);
    if (stall) v[100] = stall * ms;
    return v;
  };
  struct Case {
    const char* what;
    std::vector<int64_t> svc;
    bool write;
    int64_t drops;
  };
  const Case cases[] = {
      {"read, fast", run(10, 0, 300), false, 0},
      {"read, stall within the queue", run(10, 900, 300), false, 0},
      {"read, stall beyond the queue", run(10, 1500, 300), false, 12},
      {"write, fast", run(10, 0, 300), true, 0},
      {"write, stall within the queue", run(10, 900, 300), true, 0},
      {"write, stall beyond the queue", run(10, 1500, 300), true, 12},
      {"read, exactly the period", run(40, 0, 300), false, 0},
      {"read, every frame late", run(50, 0, 300), false, 68},
      {"write, every frame late", run(50, 0, 300), true, 44},
  };
  for (const Case& c : cases) {
    ModelConfig m = ConfigForRate(25, c.write, 0, -1);
    EXPECT_EQ(PredictDrops(c.svc, m), c.drops) << c.what;
  }
}

}  // namespace
