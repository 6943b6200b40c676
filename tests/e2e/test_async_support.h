// Helpers shared by the end-to-end tests of the asynchronous engines: the
// frame rows of a timing log, and frame sets made on disk for a read test.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace async_e2e {

// One frame row of the timing log (milliseconds from the start of the run).
struct LogRow {
  int num = -1;
  double start = 0, open = 0, io = 0, close = 0;
  double frameTime = 0;  // paced runs only
  int queue = 0;         // paced runs only
  bool paced = false;
};

// The frame rows of a timing log, after its "num,start,..." heading.
inline std::vector<LogRow> ReadLogRows(const std::string& path) {
  std::vector<LogRow> rows;
  bool inTable = false;
  for (const std::string& line : SplitLines(ReadFile(path))) {
    if (line.rfind("num,start,open,io,close", 0) == 0) {
      inTable = true;
      continue;
    }
    if (!inTable || line.empty()) continue;
    LogRow r;
    int n = sscanf(line.c_str(), "%d,%lf,%lf,%lf,%lf,%lf,%d", &r.num, &r.start, &r.open, &r.io,
                   &r.close, &r.frameTime, &r.queue);
    if (n < 5) continue;
    r.paced = n == 7;
    rows.push_back(r);
  }
  return rows;
}

// Rows 0..n-1 each hold a frame that was started, opened, transferred and
// closed, in that order. Returns an empty text when they do, else the fault.
inline std::string CheckCompleteRows(const std::vector<LogRow>& rows, size_t n) {
  if (rows.size() != n)
    return "expected " + std::to_string(n) + " rows, got " + std::to_string(rows.size());
  for (size_t i = 0; i < rows.size(); i++) {
    const LogRow& r = rows[i];
    if (r.num != int(i)) return "row " + std::to_string(i) + " numbered " + std::to_string(r.num);
    if (r.start < 0 || r.open < r.start || r.io < r.open || r.close < r.io)
      return "row " + std::to_string(i) + " is not a complete frame";
  }
  return "";
}

// "frame%06d.tst" for frame number n inside dir.
inline std::string FramePath(const TempDir& dir, int n) {
  char name[32];
  snprintf(name, sizeof name, "frame%06d.tst", n);
  return dir / name;
}

// Writes `count` frame files of `size` bytes for a read test.
inline void MakeFrames(const TempDir& dir, int count, int64_t size) {
  for (int i = 0; i < count; i++) WriteFileOfSize(FramePath(dir, i), size, 0x41);
}

}  // namespace async_e2e
