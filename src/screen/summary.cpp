// The final summary.
//
// Every figure comes from the frame records as the engine left them. Times
// are converted to milliseconds as integers first (ticks * 1000 in 64 bits)
// and only then to double, so a long run loses no precision; averages divide
// by the frame count the engine returned. A run that counted no frame prints
// zeros rather than the running extremes' start values.
#include "summary.h"

#include <cerrno>
#include <climits>
#include <cstdarg>

#include "../messages.h"
#include "../params.h"

namespace {

int64_t DurationOf(const TIME_STATS& r, Duration which) {
  return timing_log::PhaseDuration(which, r.Start, r.EoOpenCreate, r.EoReadWrite, r.EoClose);
}

// Summary lines on stdout; a failed write is noted for the end of the run.
__attribute__((format(printf, 1, 2))) void Out(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vprintf(fmt, ap);
  va_end(ap);
  if (n < 0) NoteStdoutFailure(errno);
}

}  // namespace

DurationStats ComputeDuration(const TIME_STATS* stats, int nFrames, Duration which,
                              double perfTime) {
  int64_t min = INT64_MAX, sum = 0, max = 0;
  bool counted = false;
  for (int i = 0; i < nFrames; i++) {
    if (stats[i].Start <= 0) break;
    // A frame that was started but never finished (a worker failed on it)
    // has no durations to count; its zero end stamps would give nonsense.
    if (stats[i].EoClose == 0) continue;
    int64_t d = DurationOf(stats[i], which);
    if (d < min) min = d;
    if (d > max) max = d;
    sum += d;
    counted = true;
  }
  DurationStats r;
  if (!counted) return r;
  r.min = MsOfTicks(min, perfTime);
  r.max = MsOfTicks(max, perfTime);
  r.avg = double(sum * 1000 / int64_t(nFrames)) * perfTime;
  return r;
}

QueueStats ComputeQueue(const TIME_STATS* stats, int nFrames, int preBufferCount) {
  int min = INT_MAX, max = 0;
  int64_t sum = 0;
  bool counted = false;
  for (int i = 0; i < nFrames; i++) {
    if (stats[i].QueueUsage == kNoQueueFigure) continue;  // never queued
    if (i < preBufferCount) continue;
    int q = stats[i].QueueUsage;
    if (q < min) min = q;
    if (q > max) max = q;
    sum += q;
    counted = true;
  }
  QueueStats r;
  if (!counted) return r;
  r.min = min;
  r.max = max;
  r.avg = double(sum) / double(nFrames);
  return r;
}

SummaryInput SummaryInputFromRun(int nFrames) {
  SummaryInput in;
  in.stats = g_frameStats;
  in.nFrames = nFrames;
  in.durationTicks = g_endTime.load() - g_startTime.load();
  in.bytes = g_bytesTransferred;
  in.droppedFrames = g_dropFrameCount.load();
  if (g_frameRate != 0) in.queue = ComputeQueue(g_frameStats, nFrames, g_framePreBufferCount);
  return in;
}

void PrintSummary(int isWriteTest, const SummaryInput& in) {
  double seconds = double(in.durationTicks) * g_perfTime;
  double frameRate = seconds > 0 ? in.nFrames / seconds : 0.0;
  double bytesPerSec = seconds > 0 ? double(in.bytes) / seconds : 0.0;
  Out("\n  Overall frame rate .... %.2f fps (%.0f bytes/s)\n\n", frameRate, bytesPerSec);

  if (g_frameRate != 0) {
    Out("  Number of dropped frames: %d\n\n", in.droppedFrames);
    const QueueStats& q = in.queue;
    if (isWriteTest) {
      Out("  Average queue usage .... %.1f\n", q.avg);
      Out("  Highest queue usage .... %d\n\n", q.max);
    } else {
      Out("  Average empty buffers .. %.1f\n", q.avg);
      Out("  Highest empty buffers .. %d\n\n", q.max);
    }
  }

  // Each duration's three lines; the I/O times show one decimal.
  struct Lines {
    Duration which;
    const char* write[3];
    const char* read[3];
  };
  static const Lines kLines[] = {
      {Duration::File,
       {"  Average file time ...... %.3f ms\n", "  Shortest file time ..... %.3f ms\n",
        "  Longest file time ...... %.3f ms\n\n"},
       {"  Average file time ...... %.3f ms\n", "  Shortest file time ..... %.3f ms\n",
        "  Longest file time ...... %.3f ms\n\n"}},
      {Duration::Open,
       {"  Average create time .... %.3f ms\n", "  Shortest create time ... %.3f ms\n",
        "  Longest create time .... %.3f ms\n\n"},
       {"  Average open time ...... %.3f ms\n", "  Shortest open time ..... %.3f ms\n",
        "  Longest open time ...... %.3f ms\n\n"}},
      {Duration::Io,
       {"  Average write time ..... %.1f ms\n", "  Shortest write time .... %.1f ms\n",
        "  Longest write time ..... %.1f ms\n\n"},
       {"  Average read time ...... %.1f ms\n", "  Shortest read time ..... %.1f ms\n",
        "  Longest read time ...... %.1f ms\n\n"}},
      {Duration::Close,
       {"  Average close time .... %.3f ms\n", "  Shortest close time ... %.3f ms\n",
        "  Longest close time .... %.3f ms\n\n"},
       {"  Average close time .... %.3f ms\n", "  Shortest close time ... %.3f ms\n",
        "  Longest close time .... %.3f ms\n\n"}},
  };
  for (const Lines& l : kLines) {
    DurationStats d = in.phases ? in.phases[int(l.which)]
                                : ComputeDuration(in.stats, in.nFrames, l.which, g_perfTime);
    const char* const* fmt = isWriteTest ? l.write : l.read;
    Out(fmt[0], d.avg);
    Out(fmt[1], d.min);
    Out(fmt[2], d.max);
  }
}

int DumpStats(int isWriteTest, int nFrames, const char* logFile, const char* path) {
  PrintSummary(isWriteTest, SummaryInputFromRun(nFrames));
  if (!logFile) return 0;
  return WriteLogFile(nFrames, logFile, path);
}
