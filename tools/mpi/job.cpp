#include "job.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "messages.h"
#include "params.h"

namespace {

// A common origin well above zero, so that a rebased stamp is never taken for
// a stamp that was never made (the summary treats Start <= 0 as "not
// started"), even for a frame that began in the very tick of the start.
constexpr int64_t kJobOrigin = int64_t(1) << 40;

int64_t Rebase(int64_t stamp, int64_t start) { return stamp == 0 ? 0 : stamp - start + kJobOrigin; }

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
  if (g_frameRate != 0) {
    QueueStats q = ComputeQueue(g_frameStats, nFrames, g_framePreBufferCount);
    r.queueAvg = q.avg;
    r.queueMax = q.max;
    r.queueMin = q.min;
  }
  r.slowestMs = ComputeDuration(g_frameStats, nFrames, Duration::File, g_perfTime).max;
  snprintf(r.host, sizeof r.host, "%s", host);
  return r;
}

std::vector<TIME_STATS> RebasedRecords(const TIME_STATS* stats, int nFrames, int64_t start) {
  std::vector<TIME_STATS> out(stats, stats + nFrames);
  for (TIME_STATS& t : out) {
    t.Start = Rebase(t.Start, start);
    t.EoOpenCreate = Rebase(t.EoOpenCreate, start);
    t.EoReadWrite = Rebase(t.EoReadWrite, start);
    t.EoClose = Rebase(t.EoClose, start);
    t.FrameTime = Rebase(t.FrameTime, start);
  }
  return out;
}

void MergeJob(const std::vector<RankResult>& results,
              const std::vector<std::vector<TIME_STATS>>& perRank, MergedJob* job) {
  job->records.clear();
  int64_t total = 0, bytes = 0, longest = 0;
  int64_t dropped = 0;
  double queueSum = 0;
  int queueMax = 0;
  for (size_t r = 0; r < results.size(); r++) {
    const RankResult& res = results[r];
    const std::vector<TIME_STATS>& recs = perRank[r];
    size_t n = std::min(recs.size(), size_t(std::max(res.nFrames, 0)));
    size_t started = 0;
    while (started < n && recs[started].Start != 0) started++;
    job->records.insert(job->records.end(), recs.begin(), recs.begin() + long(started));
    total += int64_t(n);
    bytes += res.bytes;
    dropped += res.dropped;
    longest = std::max(longest, res.durationTicks);
    queueSum += res.queueAvg * double(n);
    queueMax = std::max(queueMax, res.queueMax);
  }
  job->records.resize(size_t(total), TIME_STATS{});

  SummaryInput& in = job->input;
  in.stats = job->records.data();
  in.nFrames = int(total);
  in.durationTicks = longest;
  in.bytes = bytes;
  in.droppedFrames = int(dropped);
  in.queue.avg = total > 0 ? queueSum / double(total) : 0.0;
  in.queue.max = queueMax;
  in.queue.min = 0;
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
