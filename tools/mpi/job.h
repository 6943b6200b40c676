// The job of ordavi-mpi without MPI: per-rank names, the result each rank
// sends to rank 0, and what rank 0 makes of them (the merged summary, the
// per-rank table, the job's bandwidth and start spread).
//
// CLOCKS. Each rank measures on its own monotonic clock from its own start.
// Before sending, a rank rebases its records to its start; rank 0 then lays
// every rank's frames on one time line that begins at the common start the
// barrier gave them. The spread of the real start times is measured on the
// ranks' wall clocks and shown beside the figures.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report/summary.h"
#include "stats.h"

// Per-rank target: "PATH/rank0003" for frame files, "PATH.rank0003" for a
// stream file. A trailing "/" of PATH is kept out of the rank's name.
std::string RankTargetPath(const std::string& path, int rank, bool stream);

// Per-rank timing log: "log.csv" becomes "log.rank0003.csv"; a name without
// an extension gets ".rank0003" appended.
std::string RankLogName(const std::string& logFile, int rank);

// What each rank sends to rank 0 after its run: a fixed layout of plain
// values, sent as bytes between ranks of one build.
struct RankResult {
  int32_t nFrames = 0;
  int32_t dropped = 0;
  int64_t bytes = 0;
  int64_t durationTicks = 0;  // its own start to its own end
  double wallStartSec = 0;    // its wall clock at its start
  double queueAvg = 0;        // its summary's queue figures (paced runs)
  int32_t queueMax = 0;
  int32_t queueMin = 0;
  double slowestMs = 0;  // its longest file time
  char host[64] = {};
};

// The rank's result from its run's globals (records, counters).
RankResult ResultOfRun(int nFrames, double wallStartSec, const char* host);

// Copies records [0, nFrames) with every stamp moved from the rank's own
// start to the job's common origin (a fixed value well above 0); stamps that
// were never taken (0) stay 0.
std::vector<TIME_STATS> RebasedRecords(const TIME_STATS* stats, int nFrames, int64_t start);

// The job on one time line. Each rank's records (rebased) are laid out rank
// after rank; the frames a rank never started go to the end, so that the
// summary's walk, which stops at the first never-started frame, counts each
// rank's frames as that rank's own summary would.
struct MergedJob {
  std::vector<TIME_STATS> records;
  SummaryInput input;  // points into records
};
// `perRank[r]` holds rank r's rebased records (results[r].nFrames of them).
void MergeJob(const std::vector<RankResult>& results,
              const std::vector<std::vector<TIME_STATS>>& perRank, MergedJob* job);

// The per-rank table, the job's bandwidth (all bytes over the earliest start
// to the latest end) and the start spread.
void PrintJobTable(const std::vector<RankResult>& results, double perfTime);

// printf to stdout; a failed write is noted (NoteStdoutFailure) so that the
// rank's exit status tells of lost output.
void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
