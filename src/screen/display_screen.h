// The figures and the text of one live-screen refresh, as functions over the
// published frame records. The display thread (display.cpp) calls them; they
// take no lock, read no clock and touch no global, so they can be tested on
// synthetic records.
//
// COST OF A REFRESH. A long run publishes millions of records, and the
// screen is redrawn every second, so a refresh must not grow with the run.
// It visits three sets of records, in place, never copying the array:
//   - the records published since the last refresh, each entered once into
//     the running sums, the extreme values and the histogram;
//   - the records of the last 30 seconds, walked back from the newest one
//     for the 1, 5 and 30 second windows (one walk serves all three);
//   - with a histogram period, the records of that period, for its fastest
//     and slowest frame and for dropping expired records from the histogram.
//
// Every window is measured back from the newest completed frame, not from
// the current time, so a stall shows as the last figures frozen rather than
// as rates falling towards zero.
#pragma once

#include <cstdint>
#include <string>

#include "../stats.h"
#include "histogram.h"

// The run's settings that the screen uses (fixed before the display starts).
struct DisplaySettings {
  double perfTime = 0;      // seconds per tick
  int64_t perfFreq = 0;     // ticks per second
  int dataSize = 0;         // bytes one frame transfers
  int histogramPeriod = 0;  // -h seconds, 0 = the whole run
  int frameRate = 0;        // -f, 0 = unpaced
  const char* paramsAsStr = "";
};

// Reads the settings from the parameter globals.
DisplaySettings DisplaySettingsFromGlobals();

// What the display keeps from one refresh to the next.
struct DisplayState {
  int oldNumStats = 0;          // records seen so far
  int64_t openTime = 0;         // sum of the open times of those records, ticks
  int64_t ioTime = 0;           // sum of their I/O times, ticks
  double fastestFrame = 1e100;  // shortest file time seen, seconds
  double slowestFrame = 0;      // longest file time seen, seconds
  Histogram hist{};             // counts start at zero, histFirstStat at 0
};

// One of the rolling windows of the "Averaged details" table.
struct StatsWindow {
  int count = 0;      // records in the window (the newest one always is)
  int64_t openT = 0;  // sum of their open times, ticks
  int64_t ioT = 0;    // sum of their I/O times, ticks
  double span = 0;    // seconds the window covers
};

constexpr int kNumWindows = 3;
constexpr int kWindowSecs[kNumWindows] = {1, 5, 30};

// The figures of one refresh.
struct Screen {
  int numStats = 0;      // records published when the refresh began
  int64_t lastTime = 0;  // EoClose of the newest record
  double duration = 0;   // seconds from the start of the run to lastTime
  StatsWindow windows[kNumWindows];
  // Over the whole run: file-time extremes in seconds, open and I/O sums in ticks.
  double fastestFrame = 0;
  double slowestFrame = 0;
  int64_t openTime = 0;
  int64_t ioTime = 0;
  // Only with a histogram period: the file-time extremes within it, and the
  // whole seconds that the period actually covers.
  int histTime = 0;
  double histFastest = 0;
  double histSlowest = 0;
  HistogramScale scale{};
  char sbuf[kHistSbufSize] = {};  // the histogram chart
  // Momentary values of a paced run, read just before printing.
  int dropFrameCount = 0;
  int curQueueUsage = 0;
};

// Walks back from the newest of `numStats` (>= 1) records for the 1, 5 and
// 30 second windows. A window ends at the first record that completed at or
// before its threshold, even if older records would fall inside again; its
// span runs from that record's EoClose, or from `startTime` when the walk
// passed the first record.
void WalkWindows(const TIME_STATS* stats, int numStats, int64_t startTime, int64_t perfFreq,
                 double perfTime, StatsWindow out[kNumWindows]);

// Enters the records from state->oldNumStats to numStats - 1 into the running
// sums, the extreme file times and the histogram. Does not move oldNumStats.
void EnterNewRecords(DisplayState* state, const TIME_STATS* stats, int numStats, double perfTime);

// The fastest and slowest file time among the records, walking back from the
// newest, that completed after `threshold`; and the whole seconds from the
// EoClose of the first record outside (or from `startTime`) to the newest.
void PeriodIoStats(const TIME_STATS* stats, int numStats, int64_t startTime, int64_t threshold,
                   int64_t perfFreq, double perfTime, int* histTime, double* histFastest,
                   double* histSlowest);

// Computes every figure of a refresh that found `numStats` (> oldNumStats)
// records published, updates the kept state (oldNumStats included) and
// draws the histogram.
void RefreshScreen(DisplayState* state, const TIME_STATS* stats, int numStats, int64_t startTime,
                   const DisplaySettings& settings, Screen* screen);

// The whole text of a screen, from "Test parameters:" to the empty line
// after the histogram's axis labels.
std::string FormatScreen(const Screen& screen, const DisplaySettings& settings);
