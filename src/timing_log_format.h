// The timing log that `ordavi -x` writes and ordavi-report reads, described
// once for both. Header-only and free of ordavi's globals, so that
// ordavi-report can include it without linking anything of ordavi.
//
// The log is text, one line feed after each line:
//   Date,<%d-%b-%Y>            Time,<%X>            Version,<version>
//   OS,<sysname release version>                    Hostname,<nodename>
//   TestPath,"<path, quotes doubled>"               Parameters," <options> "
//   FrameRate,<%.2f>,fps       Bandwidth,<%.2f>,MB/s    DroppedFrames,<%d>
//   (empty line)
//   the summary table: its heading, then min, avg and max rows
//   (empty line)
//   the frame table: its heading, then one row per frame record
// A paced run (a frame rate set) has the queue columns and, in the frame
// table, the frametime column; an unpaced run has neither. Every time is in
// milliseconds with three decimals: a frame row's stamps are moments from
// the start of the test, and a stamp that was never written comes out
// negative.
#pragma once

#include <cmath>
#include <cstdint>

namespace timing_log {

// The header lines' keys, in order (each followed by a comma).
inline constexpr const char* kHeaderKeys[] = {
    "Date",     "Time",       "Version",   "OS",        "Hostname",
    "TestPath", "Parameters", "FrameRate", "Bandwidth", "DroppedFrames"};

// The summary table's heading and rows.
inline constexpr char kSummaryHeadingPaced[] = ",file,open,io,close,queue";
inline constexpr char kSummaryHeadingUnpaced[] = ",file,open,io,close";
inline constexpr char kSummaryRowsPaced[] =
    "min,%.3f,%.3f,%.3f,%.3f,%d\navg,%.3f,%.3f,%.3f,%.3f,%.1f\nmax,%.3f,%.3f,%.3f,%.3f,%d\n";
inline constexpr char kSummaryRowsUnpaced[] =
    "min,%.3f,%.3f,%.3f,%.3f\navg,%.3f,%.3f,%.3f,%.3f\nmax,%.3f,%.3f,%.3f,%.3f\n";

// The frame table's heading and row: num, then the start, open, io and close
// stamps, and in a paced run the frametime stamp and the queue figure.
inline constexpr char kFrameHeadingPaced[] = "num,start,open,io,close,frametime,queue";
inline constexpr char kFrameHeadingUnpaced[] = "num,start,open,io,close";
inline constexpr char kFrameRowPaced[] = "%d,%.3f,%.3f,%.3f,%.3f,%.3f,%d\n";
inline constexpr char kFrameRowUnpaced[] = "%d,%.3f,%.3f,%.3f,%.3f\n";
inline constexpr int kFrameColumnsPaced = 7, kFrameColumnsUnpaced = 5;
inline constexpr int kStampDecimals = 3;

// The four phases of a frame, each the difference of two of its stamps.
enum class Phase { File, Open, Io, Close };
template <typename T>
constexpr T PhaseDuration(Phase p, T start, T open, T io, T close) {
  switch (p) {
    case Phase::File:
      return close - start;
    case Phase::Open:
      return open - start;
    case Phase::Io:
      return io - open;
    case Phase::Close:
      return close - io;
  }
  return T(0);
}

// The values the Parameters line can hold, as ordavi's options accept them:
// -w/-z in KB, -n, -f (0: unpaced), -q, -b, -i, -a, -t, -c.
inline constexpr int64_t kMaxFrameSizeKB = 2097151;
inline constexpr int64_t kMinFrames = 1, kMaxFrames = 2000000000;
inline constexpr int kMinFrameRate = 1, kMaxFrameRate = 100;
inline constexpr int kMinQueue = 1, kMaxQueue = 10000;
inline constexpr int kMaxPreBuffer = 9999;
inline constexpr int kMinIosPerFrame = 1, kMaxIosPerFrame = 5000;
inline constexpr int kMaxAsyncOps = 50, kMaxThreads = 20;
inline constexpr int kMinCrop = 1, kMaxCrop = 100;

// Without -q the frame queue holds as many frames as the rate; without -b a
// read test pre-buffers 5 frames.
constexpr int DefaultQueueSize(int frameRate) { return frameRate; }
inline constexpr int kDefaultPreBuffer = 5;

// The pacing period: whole nanoseconds, the quotient truncated (exact for
// every whole rate; a fractional rate such as 23.976 is only modelled).
constexpr int64_t FramePeriodNs(double rate) { return int64_t(1e9 / rate); }

// The completion-time histogram: 65 columns on a log axis, 16 a decade, from
// 0.1 ms (column 0, which also takes anything shorter, and a time that is
// zero, negative or not a number) to 1 s and beyond (column 64).
inline constexpr int kHistColumns = 65;
inline int HistogramColumn(double fileTimeSeconds) {
  if (!(fileTimeSeconds > 0)) return 0;
  double x = (std::log10(fileTimeSeconds) + 4.0) * 16.0 + 0.5;
  if (x < 0) return 0;
  if (x >= kHistColumns - 1) return kHistColumns - 1;
  return static_cast<int>(x);
}
// The file time at a column's centre, in milliseconds.
inline double HistogramColumnCentreMs(int column) { return 0.1 * std::pow(10.0, column / 16.0); }

}  // namespace timing_log
