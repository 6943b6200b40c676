// The completion-time histogram at the bottom of the live screen.
//
// Each frame's file time (EoClose - Start) is counted in one of 65 columns on
// a logarithmic axis from 0.1 ms to 1 s, 16 columns to a decade, each column
// centred on its nominal time. The counts are kept incrementally by the
// display thread: a refresh enters only the records it has not seen yet and,
// with a histogram period (-h), drops the records that fell out of it, oldest
// index first. Scale and picture are rebuilt from the 65 counts every refresh,
// so no refresh ever walks the whole run.
#pragma once

#include <cstdint>

#include "../stats.h"
#include "../timing_log_format.h"

using timing_log::kHistColumns;  // the columns and their formula are the log's too
constexpr int kHistRows = 10;
constexpr int kHistRowWidth = 78;  // label, blank, bar, 65 columns, blanks, line feed
constexpr int kHistSbufSize = 2000;

// The two lines under the chart: the time axis with its tick marks and labels.
extern const char kHistAxisText[];

// The counts kept from one refresh to the next.
struct Histogram {
  int histogram[kHistColumns];  // counted frames per column, column 0 at the left
  int histFirstStat;            // index of the oldest record still counted
};

// The scale of one refresh.
struct HistogramScale {
  int histNum;    // frames counted (sum of the columns)
  int histMax;    // the tallest column
  int vertScale;  // the count that reaches the top row (at least 1 once a frame is counted)
};

// A record's file time in seconds.
inline double FileTimeSecs(const TIME_STATS& ts, double perfTime) {
  return static_cast<double>(ts.EoClose - ts.Start) * perfTime;
}

void ClearHistogram(Histogram* h);

// The column of a file time in seconds: 0 for 0.1 ms and below (and for a
// time of zero or less), 64 for about 930 ms and above.
using timing_log::HistogramColumn;

// Counts one frame.
void HistogramEnter(Histogram* h, double fileTime);

// Drops, oldest index first, the counted records whose EoClose lies before
// `threshold`, stopping at the first one still inside; the newest record
// (numStats - 1) always stays. Every record below numStats must have been
// entered already.
void HistogramDrop(Histogram* h, const TIME_STATS* stats, int numStats, int64_t threshold,
                   double perfTime);

// Works out how many frames the top row stands for: all of them, half, a
// fifth, a tenth or a twentieth, by the share of the tallest column.
HistogramScale ComputeHistogramScale(const Histogram& h);

// Draws the chart: ten rows of stars with the scale label at the top left,
// then the axis text. `sbuf` receives a NUL-terminated text.
void DrawHistogram(const Histogram& h, const HistogramScale& scale, char sbuf[kHistSbufSize]);
