#include "display_screen.h"

#include <cstdarg>
#include <cstdio>

#include "../messages.h"
#include "../params.h"

namespace {

constexpr double kMB = 1048576.0;

// A rate over a time span. A span of 0 (empty frames, a frame faster than
// the clock's tick) has no rate: it shows 0, never "nan" or "inf".
double Per(double amount, double span) { return span > 0 ? amount / span : 0.0; }

int64_t OpenTicks(const TIME_STATS& ts) { return ts.EoOpenCreate - ts.Start; }
int64_t IoTicks(const TIME_STATS& ts) { return ts.EoReadWrite - ts.EoOpenCreate; }

__attribute__((format(printf, 2, 3))) void Appendf(std::string* out, const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof(buf)) {
    out->append(buf, n);
    return;
  }
  // Longer than the stack buffer (a long parameter string, huge figures).
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  vsnprintf(big.data(), big.size(), fmt, ap);
  va_end(ap);
  out->append(big.data(), n);
}

}  // namespace

DisplaySettings DisplaySettingsFromGlobals() {
  DisplaySettings s;
  s.perfTime = g_perfTime;
  s.perfFreq = g_perfFreq;
  s.dataSize = g_dataSize;
  s.histogramPeriod = g_histogramPeriod;
  s.frameRate = g_frameRate;
  s.paramsAsStr = g_paramsAsStr;
  return s;
}

void WalkWindows(const TIME_STATS* stats, int numStats, int64_t startTime, int64_t perfFreq,
                 double perfTime, StatsWindow out[kNumWindows]) {
  const int64_t lastTime = stats[numStats - 1].EoClose;
  // One cursor and one set of sums run through all three windows: each
  // longer window starts where the shorter one stopped.
  int cursor = numStats - 1;
  StatsWindow acc;
  for (int w = 0; w < kNumWindows; w++) {
    const int64_t threshold = lastTime - kWindowSecs[w] * perfFreq;
    while (cursor >= 0 && stats[cursor].EoClose > threshold) {
      acc.openT += OpenTicks(stats[cursor]);
      acc.ioT += IoTicks(stats[cursor]);
      acc.count++;
      cursor--;
    }
    const int64_t from = cursor >= 0 ? stats[cursor].EoClose : startTime;
    acc.span = static_cast<double>(lastTime - from) * perfTime;
    out[w] = acc;
  }
}

void EnterNewRecords(DisplayState* state, const TIME_STATS* stats, int numStats, double perfTime) {
  for (int i = state->oldNumStats; i < numStats; i++) {
    const TIME_STATS& ts = stats[i];
    const double d = FileTimeSecs(ts, perfTime);
    HistogramEnter(&state->hist, d);
    if (d > state->slowestFrame) state->slowestFrame = d;
    if (d < state->fastestFrame) state->fastestFrame = d;
    state->openTime += OpenTicks(ts);
    state->ioTime += IoTicks(ts);
  }
}

void PeriodIoStats(const TIME_STATS* stats, int numStats, int64_t startTime, int64_t threshold,
                   int64_t perfFreq, double perfTime, int* histTime, double* histFastest,
                   double* histSlowest) {
  const int64_t lastTime = stats[numStats - 1].EoClose;
  double fastest = 1e100, slowest = 0;
  int cursor = numStats - 1;
  while (cursor >= 0 && stats[cursor].EoClose > threshold) {
    const double d = FileTimeSecs(stats[cursor], perfTime);
    if (d > slowest) slowest = d;
    if (d < fastest) fastest = d;
    cursor--;
  }
  const int64_t from = cursor >= 0 ? stats[cursor].EoClose : startTime;
  *histTime = static_cast<int>((lastTime - from) / perfFreq);
  *histFastest = fastest;
  *histSlowest = slowest;
}

void RefreshScreen(DisplayState* state, const TIME_STATS* stats, int numStats, int64_t startTime,
                   const DisplaySettings& settings, Screen* screen) {
  screen->numStats = numStats;
  screen->lastTime = stats[numStats - 1].EoClose;
  screen->duration = static_cast<double>(screen->lastTime - startTime) * settings.perfTime;

  WalkWindows(stats, numStats, startTime, settings.perfFreq, settings.perfTime, screen->windows);
  EnterNewRecords(state, stats, numStats, settings.perfTime);
  screen->fastestFrame = state->fastestFrame;
  screen->slowestFrame = state->slowestFrame;
  screen->openTime = state->openTime;
  screen->ioTime = state->ioTime;

  if (settings.histogramPeriod != 0) {
    const int64_t t = screen->lastTime - settings.histogramPeriod * settings.perfFreq;
    HistogramDrop(&state->hist, stats, numStats, t, settings.perfTime);
    PeriodIoStats(stats, numStats, startTime, t, settings.perfFreq, settings.perfTime,
                  &screen->histTime, &screen->histFastest, &screen->histSlowest);
  }

  screen->scale = ComputeHistogramScale(state->hist);
  DrawHistogram(state->hist, screen->scale, screen->sbuf);
  state->oldNumStats = numStats;
}

std::string FormatScreen(const Screen& s, const DisplaySettings& settings) {
  const double dataSize = settings.dataSize;
  const double perfMs = settings.perfTime * 1000.0;
  const int numStats = s.numStats;
  std::string out;
  out.reserve(4096);

  Appendf(&out,
          "Test parameters:      %s\nTest duration:        %d secs\nFrames transferred:   %d "
          "(%.3f MB)\nFastest frame:        %.3f ms (%.2f MB/s)\nSlowest frame:        %.3f ms "
          "(%.2f MB/s)\n\n",
          settings.paramsAsStr, static_cast<int>(s.duration), numStats,
          static_cast<double>(static_cast<int64_t>(numStats) * settings.dataSize) / kMB,
          s.fastestFrame * 1000.0, Per(dataSize, s.fastestFrame * kMB), s.slowestFrame * 1000.0,
          Per(dataSize, s.slowestFrame * kMB));

  if (settings.frameRate != 0) {
    Appendf(&out, "Dropped frames:       %d\nCurrent queue usage:  %d\n\n", s.dropFrameCount,
            s.curQueueUsage);
  }

  static const char* const kRowHeads[kNumWindows] = {"  Last 1s", "       5s", "      30s"};
  static const char kRow[] = "%s: %7.3f ms  %7.2f ms  %7.2f ms  %7.2f MB/s  %5.1f fps\n";
  out +=
      "Averaged details:\n"
      "              Open        I/O         Frame      Data rate   Frame rate\n";
  for (int w = 0; w < kNumWindows; w++) {
    const StatsWindow& win = s.windows[w];
    const double n = win.count;
    Appendf(&out, kRow, kRowHeads[w], static_cast<double>(win.openT) * perfMs / n,
            static_cast<double>(win.ioT) * perfMs / n, win.span * 1000.0 / n,
            Per(n * dataSize, win.span * kMB), Per(n, win.span));
  }
  const double total = numStats;
  Appendf(&out, kRow, "  Overall", static_cast<double>(s.openTime) / total * perfMs,
          static_cast<double>(s.ioTime) / total * perfMs, s.duration * 1000.0 / total,
          Per(total * dataSize, s.duration * kMB), Per(total, s.duration));
  out += "\n";

  if (settings.histogramPeriod != 0) {
    Appendf(&out,
            "I/O stats over the last %d seconds:\n          Fastest I/O: %.3f ms (%.2f MB/s)\n  "
            "        Slowest I/O: %.3f ms (%.2f MB/s)\n\n",
            s.histTime, s.histFastest * 1000.0, Per(dataSize, s.histFastest * kMB),
            s.histSlowest * 1000.0, Per(dataSize, s.histSlowest * kMB));
  }

  out += "Histogram of frame completion times:\n";
  out += s.sbuf;
  out += "\n";
  return out;
}
