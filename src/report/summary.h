// The final summary on stdout and the CSV timing log.
#pragma once

#include <cstdint>
#include <cstdio>

#include "../stats.h"

// Minimum, average and maximum of one per-frame duration, in milliseconds.
struct DurationStats {
  double min = 0, avg = 0, max = 0;
};

// Which duration of a record: EoClose-Start, EoOpenCreate-Start,
// EoReadWrite-EoOpenCreate, EoClose-EoReadWrite.
enum class Duration { File, Open, Io, Close };

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

// Writes the timing log body (everything after the Date and Time lines).
void WriteTimingLog(FILE* f, int nFrames, const char* path);

// What the summary shows: one run's records and counts, or a job's merged.
struct SummaryInput {
  const TIME_STATS* stats = nullptr;  // nFrames records
  int nFrames = 0;
  int64_t durationTicks = 0;  // start of the run to its end
  int64_t bytes = 0;
  int droppedFrames = 0;
  QueueStats queue;  // paced runs
};
SummaryInput SummaryInputFromRun(int nFrames);  // from the run's globals
void PrintSummary(int isWriteTest, const SummaryInput& in);

// The Date and Time lines, then the timing log body.
void WriteLog(FILE* f, int nFrames, const char* path);

void DumpStats(int isWriteTest, int nFrames, const char* logFile, const char* path);
