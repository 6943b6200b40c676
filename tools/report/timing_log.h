// Reading a timing log written by `ordavi -x`.
//
// The log is a header block of run facts, the run's own min/avg/max table
// and one row per frame record. Every time in it is printed in milliseconds
// with three decimals, so the reader keeps them as whole microseconds:
// exact, and differences of two stamps stay exact.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace report {

// What the parameter string says about the run.
struct RunParams {
  bool isWrite = false;
  int64_t frameSizeBytes = 0;   // from -w/-z (KB, the size as used)
  int64_t frames = 0;           // -n
  std::string engine = "sync";  // "sync", "async" or "threaded"
  int ops = 0;                  // -a or -t value, 0 for sync
  bool stream = false;          // -s
  int frameRate = 0;            // -f, 0 unpaced
  int queueSize = 0;            // -q
  int preBuffer = 0;            // -b (read tests), 0 in a write test
  int iosPerFrame = 1;          // -i
  int cropPercent = 0;          // -c
};

// The log's own summary table, in milliseconds as printed.
struct LogTableRow {
  double file = 0, open = 0, io = 0, close = 0, queue = 0;
};

struct TimingLog {
  std::string fileName;  // as given on the command line
  // Header lines.
  std::string date, time, version, os, hostname, testPath, parameters;
  double frameRateFps = 0;
  double bandwidthMiBps = 0;
  int64_t droppedFrames = 0;
  RunParams params;
  bool paced = false;  // the frame table has the frametime and queue columns
  LogTableRow tableMin, tableAvg, tableMax;

  // The frame table, one entry per row, in row order. Stamps are
  // microseconds from the start of the test; an unwritten stamp is negative.
  std::vector<int64_t> start, open, io, close, frameTime;
  std::vector<int32_t> queue;

  bool truncated = false;  // the last row was cut short and left out
  size_t rows() const { return start.size(); }
};

// A log that cannot be read: the message names the file and the line.
class LogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the text of a log. `name` is used in messages. Warnings (a log cut
// short) are appended to `warnings`. Throws LogError.
TimingLog ParseTimingLog(std::string_view text, const std::string& name,
                         std::vector<std::string>* warnings);

// Reads and parses a file. Throws LogError (also when it cannot be read).
TimingLog ReadTimingLog(const std::string& path, std::vector<std::string>* warnings);

// Parses the parameter string (" -r -z8100 -n100 -f24 -q24 -b5 "). Unknown
// items are ignored. Returns what is wrong with it ("" when nothing is): no
// direction item, or a value ordavi would not have taken.
std::string ParseParams(std::string_view text, RunParams* out);

}  // namespace report
