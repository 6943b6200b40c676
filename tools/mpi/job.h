// The job of ordavi-mpi without MPI: per-rank names, what each rank
// contributes to the job's result, and what rank 0 makes of it (the job's
// summary, the per-rank table, the job's bandwidth and start spread).
//
// FIGURES BY REDUCTION. Rank 0 never holds another rank's frame records.
// Every figure of the job's summary is a sum, a minimum or a maximum over
// the ranks: each rank condenses its own records into a RankFigures (its
// duration sums, extremes and counts, in clock ticks), the ranks reduce them
// element by element (sums with MPI_SUM, and so on), and rank 0 turns the
// reduced figures into the summary exactly as one run over every rank's
// frames would: the same walk over each rank's frames, averages over the
// job's frame count, extremes over all frames. Rank 0's memory grows with
// the number of ranks (the table's rows), never with ranks x frames.
//
// CLOCKS. Each rank measures on its own monotonic clock from its own start;
// durations need no common clock, and the job's time is the longest rank's
// own (the barrier gave them a common start). The spread of the real start
// times is measured on the ranks' wall clocks and shown beside the figures.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "screen/summary.h"
#include "stats.h"

// Per-rank target: "PATH/rank0003" for frame files, "PATH.rank0003" for a
// stream file. A trailing "/" of PATH is kept out of the rank's name.
std::string RankTargetPath(const std::string& path, int rank, bool stream);

// Per-rank timing log: "log.csv" becomes "log.rank0003.csv"; a name without
// an extension gets ".rank0003" appended.
std::string RankLogName(const std::string& logFile, int rank);

// What each rank sends to rank 0 for its row of the table: a fixed layout of
// plain values, sent as bytes between ranks of one build.
struct RankResult {
  int32_t nFrames = 0;
  int32_t dropped = 0;
  int64_t bytes = 0;
  int64_t durationTicks = 0;  // its own start to its own end
  double wallStartSec = 0;    // its wall clock at its start
  double slowestMs = 0;       // its longest file time
  char host[64] = {};
};

// The rank's result from its run's globals (records, counters).
RankResult ResultOfRun(int nFrames, double wallStartSec, const char* host);

// One rank's share of the job's summary, laid out for the reductions: every
// element of `sum` is added over the ranks, of `min` the least is kept, of
// `max` the greatest, and `queueWeighted` is added. Phases are indexed by
// Duration (File, Open, Io, Close).
struct RankFigures {
  enum { kFrames, kBytes, kDropped, kCounted, kPhaseSum, kSums = kPhaseSum + 4 };
  enum { kLongest, kQueueMax, kPhaseMax, kMaxes = kPhaseMax + 4 };
  int64_t sum[kSums] = {};  // kCounted: frames whose durations count
  int64_t min[4] = {};      // phase minima (INT64_MAX where nothing was counted)
  int64_t max[kMaxes] = {};
  double queueWeighted = 0;  // paced runs: the rank's average queue figure x its frames
};

// The rank's share, from its records [0, nFrames) and its counters: each
// duration over the frames its own summary would count (up to the first
// frame never started, leaving out frames never finished).
RankFigures FiguresOfRank(const TIME_STATS* stats, int nFrames, int64_t bytes, int dropped,
                          int64_t durationTicks, const QueueStats& queue);

// What the reductions do, for a job of ranks in one process (the tests).
void AddFigures(RankFigures* into, const RankFigures& from);

// The job's summary from the reduced figures; `phases` receives the four
// durations in ms, which the returned input points to. False when the job
// has more frames than one summary can count.
bool JobSummary(const RankFigures& job, double perfTime, DurationStats phases[4], SummaryInput* in);

// The per-rank table, the job's bandwidth (all bytes over the earliest start
// to the latest end) and the start spread.
void PrintJobTable(const std::vector<RankResult>& results, double perfTime);

// printf to stdout; a failed write is noted (NoteStdoutFailure) so that the
// rank's exit status tells of lost output.
void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
