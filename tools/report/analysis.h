// The figures ordavi-report derives from a timing log: per-phase statistics
// with exact percentiles, the run over time, drops and pacing jitter, and
// the verdict per frame rate from the frame-queue model.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "timing_log.h"

namespace report {

// The percentiles reported for every phase, in millionths (nearest rank).
constexpr std::array<int64_t, 5> kPercentilesPpm = {500000, 900000, 990000, 999000, 999900};
constexpr std::array<const char*, 5> kPercentileNames = {"p50", "p90", "p99", "p99_9", "p99_99"};

// The nearest-rank percentile of `v` (the smallest value such that at least
// `ppm` millionths of the values are at or below it). Reorders `v`. `v` must
// not be empty.
int64_t RankOf(int64_t n, int64_t ppm);
int64_t NearestRank(std::vector<int64_t>& v, int64_t ppm);

struct PhaseStats {
  int64_t count = 0;
  double minMs = 0, meanMs = 0, stddevMs = 0, maxMs = 0;
  std::array<double, kPercentilesPpm.size()> pctMs{};
};

// Statistics of durations in microseconds; takes the values to reorder them.
PhaseStats ComputePhase(std::vector<int64_t> us);

enum Phase { kFile, kOpen, kIo, kClose, kPhases };
constexpr std::array<const char*, kPhases> kPhaseNames = {"file", "open", "io", "close"};

// The rows the run's own summary table counts: from the first row up to the
// first that was never started (its start stamp is unwritten), leaving out a
// started row that never finished.
std::vector<uint32_t> CountedRows(const TimingLog& log);

// The live screen's histogram: 65 columns on a log axis from 0.1 ms to 1 s.
constexpr int kHistColumns = 65;
int HistogramColumn(int64_t fileTimeUs);
double HistogramColumnCentreMs(int column);

struct Stall {
  double gapMs = 0;    // longest time between two consecutive completions
  double afterMs = 0;  // when it began (the earlier completion)
  int64_t frame = -1;  // the row that completed at its end
};

struct DropEvent {
  int64_t frame;  // the record that came after the drops
  double timeMs;  // the first dropped period
  int64_t count;  // consecutive periods dropped there
};

struct Jitter {
  double periodMs = 0;
  double intervalMeanMs = 0, intervalStddevMs = 0;
  double worstLatenessMs = 0;  // largest delay of a period beyond its nominal time
  int64_t intervals = 0;
};

// The frame-queue model's inputs for one rate.
struct ModelConfig {
  double rateFps = 0;
  int queueSize = 0;
  int preBuffer = 0;  // read tests only
  bool isWrite = false;
};

// Queue size and pre-buffer count ordavi would use at `rate`: a given -q
// (queueOpt > 0) or the rate itself rounded to a whole frame rate; a given
// -b (preBufferOpt >= 0) or 5, at most the queue size - 1.
ModelConfig ConfigForRate(double rate, bool isWrite, int queueOpt, int preBufferOpt);

// Replays the engine's busy time per frame (nanoseconds, in record order)
// through the paced run's frame queue and counts the periods that would be
// dropped.
int64_t PredictDrops(const std::vector<int64_t>& serviceNs, const ModelConfig& cfg);

struct Verdict {
  double rateFps = 0;
  bool measured = false;  // a paced run at this rate: its own drop count
  int queueSize = 0, preBuffer = 0;
  int64_t dropped = 0;
  bool sustained = false;
  double headroom = 0;  // capacity fps / rate
};

struct LogAnalysis {
  std::vector<uint32_t> counted;
  std::array<PhaseStats, kPhases> phases;
  std::array<int64_t, kHistColumns> histogram{};
  std::vector<int64_t> fpsPerSecond;  // completions in each second of the run
  Stall stall;
  double durationMs = 0;  // the last counted completion
  std::vector<int64_t> serviceNs;
  double capacityFps = 0;
  // Paced runs.
  std::vector<DropEvent> drops;
  int64_t dropsLocated = 0, longestDropRun = 0;
  Jitter jitter;
  std::vector<Verdict> verdicts;
};

struct Options {
  std::vector<double> rates = {23.976, 24, 25, 29.97, 30, 48, 50, 59.94, 60};
  int queueSize = 0;      // --queue, 0 = as ordavi defaults it
  int preBuffer = -1;     // --prebuffer, -1 = as ordavi defaults it
  bool buffered = false;  // --buffered: the runs used ordavi -B (their logs do not say)
};

LogAnalysis Analyse(const TimingLog& log, const Options& opt);

// The job: several logs run side by side.
struct JobAnalysis {
  int64_t frames = 0;
  std::array<PhaseStats, kPhases> phases;
  std::array<int64_t, kHistColumns> histogram{};
  std::vector<int64_t> fpsPerSecond;  // summed over the logs, each from its own start
  Stall stall;                        // the longest of any log
  int64_t droppedFrames = 0;
  std::vector<Verdict> verdicts;  // every stream must sustain the rate
};

JobAnalysis AnalyseJob(const std::vector<TimingLog>& logs, const std::vector<LogAnalysis>& each);

}  // namespace report
