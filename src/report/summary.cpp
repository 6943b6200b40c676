// The final summary and the CSV timing log.
//
// Every figure comes from the frame records as the engine left them. Times
// are converted to milliseconds as integers first (ticks * 1000 in 64 bits)
// and only then to double, so a long run loses no precision; averages divide
// by the frame count the engine returned. A run that counted no frame prints
// zeros rather than the running extremes' start values.
#include "summary.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

#include "../messages.h"
#include "../params.h"
#include "../version.h"

namespace {

int64_t DurationOf(const TIME_STATS& r, Duration which) {
  switch (which) {
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

// A single time value (a minimum, a maximum, a stamp from the start) in ms.
double Ms(int64_t ticks, double perfTime) { return double(ticks * 1000) * perfTime; }

struct RunFigures {
  double seconds;
  double frameRate;
  double bytesPerSec;
};

RunFigures Figures(int nFrames) {
  int64_t duration = g_endTime.load() - g_startTime.load();
  RunFigures f;
  f.seconds = double(duration) * g_perfTime;
  // A run that measured no time (no frame at all) has no rate.
  f.frameRate = f.seconds > 0 ? nFrames / f.seconds : 0.0;
  f.bytesPerSec = f.seconds > 0 ? double(g_bytesTransferred) / f.seconds : 0.0;
  return f;
}

// The path between double quotes, with quotes inside it doubled so the line
// stays valid CSV.
std::string CsvQuoted(const char* path) {
  std::string s = "\"";
  for (const char* p = path; *p; p++) {
    if (*p == '"') s += '"';
    s += *p;
  }
  s += '"';
  return s;
}

// The log file opened before the run, handed to DumpStats at the end.
FILE* g_openedLog = nullptr;

// Writes log lines, keeping the error of the first write that failed; after
// a failure the rest of the log is not attempted.
struct LogWriter {
  FILE* f;
  int err = 0;
  void operator()(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (err != 0) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(f, fmt, ap);
    va_end(ap);
    if (n < 0) err = errno != 0 ? errno : EIO;
  }
};

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
  r.min = Ms(min, perfTime);
  r.max = Ms(max, perfTime);
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

int WriteTimingLog(FILE* f, int nFrames, const char* path) {
  LogWriter w{f};
  utsname un;
  if (uname(&un) != 0) memset(&un, 0, sizeof un);
  w("Version," ORDAVI_VERSION "\nOS,%s %s %s\nHostname,%s\n", un.sysname, un.release, un.version,
    un.nodename);
  w("TestPath,%s\n", CsvQuoted(path).c_str());
  w("Parameters,\" %s\"\n", g_paramsAsStr);

  RunFigures fig = Figures(nFrames);
  double bandwidth = fig.seconds > 0 ? double(g_bytesTransferred) / (fig.seconds * 1048576) : 0.0;
  w("FrameRate,%.2f,fps\nBandwidth,%.2f,MB/s\nDroppedFrames,%d\n", fig.frameRate, bandwidth,
    g_dropFrameCount.load());

  const TIME_STATS* st = g_frameStats;
  DurationStats file = ComputeDuration(st, nFrames, Duration::File, g_perfTime);
  DurationStats open = ComputeDuration(st, nFrames, Duration::Open, g_perfTime);
  DurationStats io = ComputeDuration(st, nFrames, Duration::Io, g_perfTime);
  DurationStats close = ComputeDuration(st, nFrames, Duration::Close, g_perfTime);
  int64_t start = g_startTime.load();

  if (g_frameRate != 0) {
    QueueStats q = ComputeQueue(st, nFrames, g_framePreBufferCount);
    w("\n,file,open,io,close,queue\nmin,%.3f,%.3f,%.3f,%.3f,%d\n"
      "avg,%.3f,%.3f,%.3f,%.3f,%.1f\nmax,%.3f,%.3f,%.3f,%.3f,%d\n",
      file.min, open.min, io.min, close.min, q.min, file.avg, open.avg, io.avg, close.avg, q.avg,
      file.max, open.max, io.max, close.max, q.max);
    w("\nnum,start,open,io,close,frametime,queue\n");
    for (int i = 0; i < nFrames && w.err == 0; i++) {
      const TIME_STATS& r = st[i];
      w("%d,%.3f,%.3f,%.3f,%.3f,%.3f,%d\n", i, Ms(r.Start - start, g_perfTime),
        Ms(r.EoOpenCreate - start, g_perfTime), Ms(r.EoReadWrite - start, g_perfTime),
        Ms(r.EoClose - start, g_perfTime), Ms(r.FrameTime - start, g_perfTime), r.QueueUsage);
    }
  } else {
    w("\n,file,open,io,close\nmin,%.3f,%.3f,%.3f,%.3f\navg,%.3f,%.3f,%.3f,%.3f\n"
      "max,%.3f,%.3f,%.3f,%.3f\n",
      file.min, open.min, io.min, close.min, file.avg, open.avg, io.avg, close.avg, file.max,
      open.max, io.max, close.max);
    w("\nnum,start,open,io,close\n");
    for (int i = 0; i < nFrames && w.err == 0; i++) {
      const TIME_STATS& r = st[i];
      w("%d,%.3f,%.3f,%.3f,%.3f\n", i, Ms(r.Start - start, g_perfTime),
        Ms(r.EoOpenCreate - start, g_perfTime), Ms(r.EoReadWrite - start, g_perfTime),
        Ms(r.EoClose - start, g_perfTime));
    }
  }
  return w.err;
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

int WriteLogFile(int nFrames, const char* logFile, const char* path) {
  FILE* f = g_openedLog;
  g_openedLog = nullptr;
  if (!f) f = OpenTimingLog(logFile);
  if (!f) {
    fprintf(stderr, "Could not create log file: %s\n", strerror(errno));
    return 1;
  }
  Out("Writing log file...\n");
  int err = WriteAndCloseLog(f, nFrames, path);
  if (err != 0) {
    fprintf(stderr, "Could not write log file \"%s\": %s\n", logFile, strerror(err));
    return 1;
  }
  return 0;
}

int WriteAndCloseLog(FILE* f, int nFrames, const char* path) {
  char lineBuf[4096];
  time_t now = time(nullptr);
  tm local;
  localtime_r(&now, &local);
  size_t n = strftime(lineBuf, sizeof lineBuf, "Date,%d-%b-%Y\nTime,%X\n", &local);
  int err = 0;
  if (fwrite(lineBuf, 1, n, f) != n) err = errno;
  int logErr = WriteTimingLog(f, nFrames, path);
  if (err == 0) err = logErr;
  // The data only reaches the file when the buffer is flushed at the close:
  // a full disk often shows itself only there.
  if (fclose(f) != 0 && err == 0) err = errno;
  return err;
}

FILE* OpenTimingLog(const char* logFile) {
  // O_NONBLOCK only for the open, so that a FIFO with no reader fails at
  // once (ENXIO) instead of holding the program; the writes then block as
  // usual, so a log piped into a slow reader is written whole.
  int fd = open(logFile, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd == -1) return nullptr;
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    int err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  FILE* f = fdopen(fd, "w");
  if (!f) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

bool OpenTimingLogBeforeRun(const char* logFile) {
  g_openedLog = OpenTimingLog(logFile);
  return g_openedLog != nullptr;
}
