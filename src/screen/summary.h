// The final summary on stdout; the CSV timing log is written by
// timing_log_writer.cpp.
#pragma once

#include <cstdint>
#include <cstdio>

#include "../stats.h"
#include "../timing_log_format.h"
#include "timing_log_writer.h"

// A single time value (a minimum, a maximum, a stamp from the start) in ms:
// ticks * 1000 in 64 bits first, then to double.
inline double MsOfTicks(int64_t ticks, double perfTime) { return double(ticks * 1000) * perfTime; }

// Minimum, average and maximum of one per-frame duration, in milliseconds.
struct DurationStats {
  double min = 0, avg = 0, max = 0;
};

// Which duration of a record: EoClose-Start, EoOpenCreate-Start,
// EoReadWrite-EoOpenCreate, EoClose-EoReadWrite.
using Duration = timing_log::Phase;

// Walks records 0..nFrames-1, stopping at the first never started record;
// the average divides by nFrames. Zeros when nothing was counted.
DurationStats ComputeDuration(const TIME_STATS* stats, int nFrames, Duration which,
                              double perfTime);

struct QueueStats {
  int min = 0;
  double avg = 0;
  int max = 0;
};
// Queue usage of a paced run: records below preBufferCount are skipped, the
// walk stops at the first negative value, the average divides by nFrames.
QueueStats ComputeQueue(const TIME_STATS* stats, int nFrames, int preBufferCount);

// What the summary shows: one run's records and counts, or a job's merged.
struct SummaryInput {
  const TIME_STATS* stats = nullptr;  // nFrames records
  int nFrames = 0;
  int64_t durationTicks = 0;  // start of the run to its end
  int64_t bytes = 0;
  int droppedFrames = 0;
  QueueStats queue;  // paced runs
  // The four durations (File, Open, Io, Close) when they were computed
  // elsewhere (a job's, from its ranks); null: computed from `stats`.
  const DurationStats* phases = nullptr;
};
SummaryInput SummaryInputFromRun(int nFrames);  // from the run's globals
// The summary lines on stdout (a failed write is noted through
// NoteStdoutFailure).
void PrintSummary(int isWriteTest, const SummaryInput& in);

// Prints the summary on stdout and, with `logFile`, writes the timing log
// (into the file opened before the run, or a new one). Returns 0, or 1 when
// the log could not be created or written whole; that is reported on stderr
// with the log's name and the reason. A failed write to stdout is noted
// through NoteStdoutFailure.
int DumpStats(int isWriteTest, int nFrames, const char* logFile, const char* path);
