#include "histogram.h"

#include <cmath>
#include <cstdio>
#include <cstring>

const char kHistAxisText[] =
    "       +|----|-----|----|----|-----|----|----|-----|----|----|-----|----|\n"
    "  ms  <0.1  .2    .5    1    2     5   10   20    50   100  200   500  >1s\n";

void ClearHistogram(Histogram* h) {
  memset(h->histogram, 0, sizeof(h->histogram));
  h->histFirstStat = 0;
}

void HistogramEnter(Histogram* h, double fileTime) { h->histogram[HistogramColumn(fileTime)]++; }

void HistogramDrop(Histogram* h, const TIME_STATS* stats, int numStats, int64_t threshold,
                   double perfTime) {
  while (h->histFirstStat + 1 < numStats && stats[h->histFirstStat].EoClose < threshold) {
    h->histogram[HistogramColumn(FileTimeSecs(stats[h->histFirstStat], perfTime))]--;
    h->histFirstStat++;
  }
}

HistogramScale ComputeHistogramScale(const Histogram& h) {
  // A run may hold up to two billion frames: the products below are 64-bit.
  int64_t histNum = 0;
  int histMax = 0;
  for (int count : h.histogram) {
    histNum += count;
    if (count > histMax) histMax = count;
  }
  HistogramScale s{static_cast<int>(histNum), histMax, 0};
  if (histNum == 0) return s;  // nothing counted yet: nothing to scale
  int64_t pct = static_cast<int64_t>(histMax) * 100 / histNum;
  int64_t vertScale;
  if (pct > 50) {
    vertScale = histNum;
  } else if (pct > 20) {
    vertScale = (histNum + 1) / 2;
  } else if (pct > 10) {
    vertScale = (histNum + 4) / 5;
  } else if (pct > 5) {
    vertScale = (histNum + 9) / 10;
  } else {
    vertScale = (histNum + 19) / 20;
  }
  s.vertScale = static_cast<int>(vertScale);
  return s;
}

void DrawHistogram(const Histogram& h, const HistogramScale& scale, char sbuf[kHistSbufSize]) {
  constexpr int kChartSize = kHistRows * kHistRowWidth;
  static_assert(kChartSize + sizeof(kHistAxisText) <= kHistSbufSize);
  memset(sbuf, ' ', kChartSize);
  sbuf[kChartSize] = '\0';
  for (int r = 0; r < kHistRows; r++) {
    sbuf[kHistRowWidth * r + 7] = '|';
    sbuf[kHistRowWidth * r + kHistRowWidth - 1] = '\n';
  }
  // An empty histogram (possible only before any frame was counted) draws
  // no bars rather than dividing by a zero scale.
  const int64_t vertScale = scale.vertScale;
  if (vertScale > 0) {
    for (int i = 0; i < kHistColumns; i++) {
      int64_t top = (vertScale - h.histogram[i]) * kHistRows / vertScale;
      if (top < 0) top = 0;
      for (int64_t r = top; r < kHistRows; r++) sbuf[kHistRowWidth * r + 8 + i] = '*';
    }
  }
  char label[16];
  int pct = scale.histNum > 0
                ? static_cast<int>(static_cast<int64_t>(scale.vertScale) * 100 / scale.histNum)
                : 0;
  snprintf(label, sizeof(label), "%5d%%", pct);
  memcpy(sbuf, label, 6);  // positions 0 to 5; position 6 stays a blank
  memcpy(sbuf + kChartSize, kHistAxisText, sizeof(kHistAxisText));
}
