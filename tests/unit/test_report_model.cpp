// ordavi-report's figures: nearest-rank percentiles, the live screen's
// histogram columns and the frame-queue model on hand-made runs.
#include <gtest/gtest.h>

#include <vector>

#include "analysis.h"

namespace {

using namespace report;

// n .. 1 (times scale): descending, so that nothing relies on sorted input.
std::vector<int64_t> Down(int64_t n, int64_t scale = 1) {
  std::vector<int64_t> v;
  for (int64_t x = n; x > 0; x--) v.push_back(x * scale);
  return v;
}

TEST(ReportFigures, PercentilesAndHistogramColumns) {
  const std::tuple<std::vector<int64_t>, int64_t, int64_t> cases[] = {
      {Down(10), 500000, 5},     {Down(10), 990000, 10},    {Down(1000), 999000, 999},
      {{7}, 999900, 7},          {{1, 5, 1, 5}, 500000, 1}, {{1, 5, 1, 5}, 510000, 5},
      {{4, 1, 9, 3}, 250000, 1},
  };
  for (auto [values, ppm, expected] : cases)
    EXPECT_EQ(NearestRank(values, ppm), expected) << values.size() << " values, " << ppm;
  PhaseStats s = ComputePhase(Down(1000, 1000));  // 1 ms .. 1000 ms
  EXPECT_EQ(std::tuple(s.count, s.minMs, s.maxMs, s.meanMs), std::tuple(1000, 1.0, 1000.0, 500.5));
  EXPECT_NEAR(s.stddevMs, 288.6749, 1e-4);
  EXPECT_EQ(s.pctMs, (std::array<double, 5>{500, 900, 990, 999, 1000}));

  const std::pair<int64_t, int> columns[] = {{0, 0},       {100, 0},      {1000, 16},
                                             {100000, 48}, {1000000, 64}, {5000000, 64}};
  for (auto [us, column] : columns) EXPECT_EQ(HistogramColumn(us), column) << us << " us";
}

// The queue and pre-buffer as ordavi sets them for a rate and options. At
// 25 fps, queue 25 (1000 ms): a 1500 ms stall leaves the 12 ticks of its
// last 500 ms without a frame. With 50 ms frames playback finds the queue
// empty 68 times; capture, once its queue is full, loses 44 periods.
TEST(ReportModel, QueueAsOrdaviSetsItAndHandMadeRuns) {
  const std::tuple<double, bool, int, int, int, int> configs[] = {
      {23.976, false, 0, -1, 24, 5}, {25, false, 0, 30, 25, 24}, {24, true, 0, -1, 24, 0},
      {2, false, 0, -1, 2, 1},       {60, false, 10, -1, 10, 5},
  };
  for (auto [rate, write, q, b, wantQ, wantB] : configs) {
    ModelConfig m = ConfigForRate(rate, write, q, b);
    EXPECT_EQ(std::pair(m.queueSize, m.preBuffer), std::pair(wantQ, wantB)) << rate;
  }
  const std::tuple<int64_t, int64_t, bool, int64_t> cases[] = {
      {10, 900, false, 0}, {10, 1500, false, 12}, {10, 900, true, 0}, {10, 1500, true, 12},
      {40, 0, false, 0},   {50, 0, false, 68},    {50, 0, true, 44},
  };
  for (auto [each, stall, write, drops] : cases) {
    std::vector<int64_t> v(300, each * 1000000);
    if (stall) v[100] = stall * 1000000;
    EXPECT_EQ(PredictDrops(v, ConfigForRate(25, write, 0, -1)), drops)
        << each << " ms, stall " << stall << (write ? " write" : " read");
  }
}

}  // namespace
