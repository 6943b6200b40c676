// ordavi-report's figures: nearest-rank percentiles, the histogram columns
// of the live screen and the frame-queue model on hand-made runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "analysis.h"

namespace {

using namespace report;

// from..to, in descending order so that nothing relies on sorted input.
std::vector<int64_t> Range(int64_t from, int64_t to, int64_t scale = 1) {
  std::vector<int64_t> v(size_t(to - from + 1));
  std::iota(v.rbegin(), v.rend(), from);
  for (int64_t& x : v) x *= scale;
  return v;
}

TEST(ReportPercentile, NearestRankAndPhaseStats) {
  const std::tuple<std::vector<int64_t>, int64_t, int64_t> cases[] = {
      {Range(1, 10), 500000, 5},       {Range(1, 10), 900000, 9},
      {Range(1, 10), 990000, 10},      {Range(1, 100), 990000, 99},
      {Range(1, 100), 999000, 100},    {Range(1, 1000), 999000, 999},
      {Range(1, 10000), 999900, 9999}, {{7}, 999900, 7},
      {{1, 5, 1, 5}, 500000, 1},       {{1, 5, 1, 5}, 510000, 5},
      {{4, 1, 9, 3}, 250000, 1},
  };
  for (auto [values, ppm, expected] : cases)
    EXPECT_EQ(NearestRank(values, ppm), expected) << values.size() << " values, " << ppm;

  PhaseStats s = ComputePhase(Range(1, 1000, 1000));  // 1 ms .. 1000 ms
  EXPECT_EQ(std::tuple(s.count, s.minMs, s.maxMs, s.meanMs), std::tuple(1000, 1.0, 1000.0, 500.5));
  EXPECT_NEAR(s.stddevMs, 288.6749, 1e-4);
  EXPECT_EQ(s.pctMs, (std::array<double, 5>{500, 900, 990, 999, 1000}));
}

TEST(ReportHistogram, LiveScreenColumns) {
  const std::pair<int64_t, int> cases[] = {{0, 0},      {50, 0},      {100, 0},      {1000, 16},
                                           {10000, 32}, {100000, 48}, {1000000, 64}, {5000000, 64}};
  for (auto [us, column] : cases) EXPECT_EQ(HistogramColumn(us), column) << us << " us";
}

TEST(ReportModel, QueueAndPreBufferAsOrdaviSetsThem) {
  const std::tuple<double, bool, int, int, int, int> cases[] = {
      {23.976, false, 0, -1, 24, 5}, {25, false, 0, 30, 25, 24}, {24, true, 0, -1, 24, 0},
      {2, false, 0, -1, 2, 1},       {60, false, 10, -1, 10, 5},
  };
  for (auto [rate, write, q, b, wantQ, wantB] : cases) {
    ModelConfig m = ConfigForRate(rate, write, q, b);
    EXPECT_EQ(std::pair(m.queueSize, m.preBuffer), std::pair(wantQ, wantB)) << rate;
  }
}

// 25 fps, queue 25: the queue covers 1000 ms, so a 1500 ms stall leaves the
// 12 ticks of its last 500 ms without a frame, reading or writing. Frames of
// 50 ms each: playback starts with six frames queued and finds the queue
// empty at 68 periods; capture fills the queue by about 5 s and then loses
// one period in five, 44 until its 300th frame is queued.
TEST(ReportModel, HandMadeRuns) {
  auto run = [](int64_t eachMs, int64_t stallMs) {
    std::vector<int64_t> v(300, eachMs * 1000000);
    if (stallMs) v[100] = stallMs * 1000000;
    return v;
  };
  const std::tuple<int64_t, int64_t, bool, int64_t> cases[] = {
      {10, 0, false, 0}, {10, 900, false, 0}, {10, 1500, false, 12},
      {10, 0, true, 0},  {10, 900, true, 0},  {10, 1500, true, 12},
      {40, 0, false, 0}, {50, 0, false, 68},  {50, 0, true, 44},
  };
  for (auto [each, stall, write, drops] : cases)
    EXPECT_EQ(PredictDrops(run(each, stall), ConfigForRate(25, write, 0, -1)), drops)
        << each << " ms, stall " << stall << (write ? " write" : " read");
}

}  // namespace
