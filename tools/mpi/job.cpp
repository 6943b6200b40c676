#include "job.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>

#include "messages.h"
#include "params.h"

namespace {

int64_t DurationOf(const TIME_STATS& r, int phase) {
  switch (Duration(phase)) {
    case Duration::File:
      return r.EoClose - r.Start;
    case Duration::Open:
      return r.EoOpenCreate - r.Start;
    case Duration::Io:
      return r.EoReadWrite - r.EoOpenCreate;
    case Duration::Close:
      return r.EoClose - r.EoReadWrite;
  }
  return 0;
}

// A time value in ms as the summary shows it: ticks * 1000 in 64 bits first.
double Ms(int64_t ticks, double perfTime) { return double(ticks * 1000) * perfTime; }

}  // namespace

void Say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vprintf(fmt, ap);
  va_end(ap);
  if (n < 0) NoteStdoutFailure(errno);
}

std::string RankTargetPath(const std::string& path, int rank, bool stream) {
  char suffix[32];
  snprintf(suffix, sizeof suffix, "rank%04d", rank);
  if (stream) return path + "." + suffix;
  std::string dir = path;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return suffix;
  return dir == "/" ? dir + suffix : dir + "/" + suffix;
}

std::string RankLogName(const std::string& logFile, int rank) {
  char tag[32];
  snprintf(tag, sizeof tag, ".rank%04d", rank);
  size_t slash = logFile.rfind('/');
  size_t dot = logFile.rfind('.');
  bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  if (!hasExt) return logFile + tag;
  return logFile.substr(0, dot) + tag + logFile.substr(dot);
}

RankResult ResultOfRun(int nFrames, double wallStartSec, const char* host) {
  RankResult r;
  r.nFrames = nFrames;
  r.dropped = g_dropFrameCount.load();
  r.bytes = g_bytesTransferred;
  r.durationTicks = g_endTime.load() - g_startTime.load();
  r.wallStartSec = wallStartSec;
  r.slowestMs = ComputeDuration(g_frameStats, nFrames, Duration::File, g_perfTime).max;
  snprintf(r.host, sizeof r.host, "%s", host);
  return r;
}

RankFigures FiguresOfRank(const TIME_STATS* stats, int nFrames, int64_t bytes, int dropped,
                          int64_t durationTicks, const QueueStats& queue) {
  RankFigures f;
  f.sum[RankFigures::kFrames] = nFrames;
  f.sum[RankFigures::kBytes] = bytes;
  f.sum[RankFigures::kDropped] = dropped;
  f.max[RankFigures::kLongest] = durationTicks;
  f.max[RankFigures::kQueueMax] = queue.max;
  f.queueWeighted = queue.avg * double(nFrames);
  std::fill(std::begin(f.min), std::end(f.min), INT64_MAX);
  // The summary's walk: up to the first frame never started; a frame started
  // but never finished (a worker failed on it) has no durations.
  for (int i = 0; i < nFrames && stats[i].Start > 0; i++) {
    if (stats[i].EoClose == 0) continue;
    f.sum[RankFigures::kCounted]++;
    for (int p = 0; p < 4; p++) {
      int64_t d = DurationOf(stats[i], p);
      f.sum[RankFigures::kPhaseSum + p] += d;
      f.min[p] = std::min(f.min[p], d);
      f.max[RankFigures::kPhaseMax + p] = std::max(f.max[RankFigures::kPhaseMax + p], d);
    }
  }
  return f;
}

void AddFigures(RankFigures* into, const RankFigures& from) {
  for (int i = 0; i < RankFigures::kSums; i++) into->sum[i] += from.sum[i];
  for (int i = 0; i < 4; i++) into->min[i] = std::min(into->min[i], from.min[i]);
  for (int i = 0; i < RankFigures::kMaxes; i++) into->max[i] = std::max(into->max[i], from.max[i]);
  into->queueWeighted += from.queueWeighted;
}

bool JobSummary(const RankFigures& job, double perfTime, DurationStats phases[4],
                SummaryInput* in) {
  int64_t frames = job.sum[RankFigures::kFrames];
  if (frames > INT_MAX || job.sum[RankFigures::kDropped] > INT_MAX) return false;
  for (int p = 0; p < 4; p++) {
    phases[p] = DurationStats{};
    if (job.sum[RankFigures::kCounted] == 0) continue;
    phases[p].min = Ms(job.min[p], perfTime);
    phases[p].max = Ms(job.max[RankFigures::kPhaseMax + p], perfTime);
    phases[p].avg = double(job.sum[RankFigures::kPhaseSum + p] * 1000 / frames) * perfTime;
  }
  *in = SummaryInput{};
  in->nFrames = int(frames);
  in->durationTicks = job.max[RankFigures::kLongest];
  in->bytes = job.sum[RankFigures::kBytes];
  in->droppedFrames = int(job.sum[RankFigures::kDropped]);
  in->queue.avg = frames > 0 ? job.queueWeighted / double(frames) : 0.0;
  in->queue.max = int(job.max[RankFigures::kQueueMax]);
  in->phases = phases;
  return true;
}

void PrintJobTable(const std::vector<RankResult>& results, double perfTime) {
  Say("  Rank  Host                    Frames    Frames/s        MB/s  Dropped  Slowest ms\n");
  int64_t bytes = 0, longest = 0, frames = 0;
  double earliest = 0, latest = 0;
  for (size_t r = 0; r < results.size(); r++) {
    const RankResult& res = results[r];
    double sec = double(res.durationTicks) * perfTime;
    double fps = sec > 0 ? res.nFrames / sec : 0.0;
    double mbs = sec > 0 ? double(res.bytes) / (sec * 1048576) : 0.0;
    Say("  %4zu  %-20.20s  %8d  %10.2f  %10.2f  %7d  %10.3f\n", r, res.host, res.nFrames, fps, mbs,
        res.dropped, res.slowestMs);
    bytes += res.bytes;
    frames += res.nFrames;
    longest = std::max(longest, res.durationTicks);
    if (r == 0 || res.wallStartSec < earliest) earliest = res.wallStartSec;
    if (r == 0 || res.wallStartSec > latest) latest = res.wallStartSec;
  }
  double span = double(longest) * perfTime;
  double mbs = span > 0 ? double(bytes) / (span * 1048576) : 0.0;
  Say("\n  Job frames ............ %lld (%zu ranks)\n", (long long)frames, results.size());
  Say("  Job bandwidth ......... %.2f MB/s (%lld bytes in %.3f s)\n", mbs, (long long)bytes, span);
  Say("  Start spread .......... %.3f ms\n\n", (latest - earliest) * 1000.0);
}
