// Cost of one live-screen refresh as the run grows.
//
// A run at 300 frames per second with the screen refreshed every second: each
// refresh finds 300 new records. The benchmark times one refresh (figures,
// histogram and the screen's text, not the printing) after 10 thousand,
// 1 million and 10 million published records. The refresh visits the new
// records, the last 30 seconds and the histogram period only, so the three
// times should be about equal; compare their ratios, not the absolute times.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "screen/display_screen.h"

namespace {

constexpr int64_t kFreq = 1000000;  // ticks per second
constexpr int kFps = 300;
constexpr int kNewPerRefresh = 300;
constexpr int kMaxRecords = 10000000;

// 10 million records of a 300 fps run, file times spread from 1 to 20 ms.
const std::vector<TIME_STATS>& Records() {
  static const std::vector<TIME_STATS> records = [] {
    std::vector<TIME_STATS> v(kMaxRecords);
    uint32_t seed = 12345;
    for (int i = 0; i < kMaxRecords; i++) {
      seed = seed * 1664525u + 1013904223u;
      const int64_t fileUs = 1000 + (seed >> 8) % 19000;
      TIME_STATS& ts = v[i];
      ts.EoClose = kFreq + int64_t(i) * kFreq / kFps + fileUs;
      ts.Start = ts.EoClose - fileUs;
      ts.EoOpenCreate = ts.Start + fileUs / 10;
      ts.EoReadWrite = ts.EoClose - fileUs / 20;
    }
    return v;
  }();
  return records;
}

void BM_Refresh(benchmark::State& state) {
  const int numStats = static_cast<int>(state.range(0));
  const int period = static_cast<int>(state.range(1));
  const TIME_STATS* stats = Records().data();
  DisplaySettings settings;
  settings.perfTime = 1.0 / kFreq;
  settings.perfFreq = kFreq;
  settings.dataSize = 8359936;
  settings.histogramPeriod = period;
  settings.frameRate = 0;
  settings.paramsAsStr = "-w8164 -n10000000 ";

  // The display as it stood one refresh ago.
  DisplayState seen;
  ClearHistogram(&seen.hist);
  Screen screen;
  RefreshScreen(&seen, stats, numStats - kNewPerRefresh, kFreq, settings, &screen);

  size_t bytes = 0;
  for (auto _ : state) {
    DisplayState s = seen;  // a few hundred bytes: the counts, sums and extremes
    RefreshScreen(&s, stats, numStats, kFreq, settings, &screen);
    std::string text = FormatScreen(screen, settings);
    bytes += text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["screen_bytes"] = double(bytes) / double(state.iterations());
}

BENCHMARK(BM_Refresh)
    ->ArgNames({"records", "h"})
    ->Args({10000, 0})
    ->Args({1000000, 0})
    ->Args({kMaxRecords, 0})
    ->Args({10000, 10})
    ->Args({1000000, 10})
    ->Args({kMaxRecords, 10})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
