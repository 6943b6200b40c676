// The CSV timing log: the header block of run facts, the summary table of
// the durations' minima, averages and maxima, and one row per frame record
// with its stamps from the start of the test, in milliseconds. Written once,
// after the summary, from the records as the engine left them.
#include "timing_log_writer.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

#include "../messages.h"
#include "../params.h"
#include "../timing_log_format.h"
#include "../version.h"
#include "summary.h"

namespace {

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

}  // namespace

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
    w("\n%s\n", timing_log::kSummaryHeadingPaced);
    w(timing_log::kSummaryRowsPaced, file.min, open.min, io.min, close.min, q.min, file.avg,
      open.avg, io.avg, close.avg, q.avg, file.max, open.max, io.max, close.max, q.max);
    w("\n%s\n", timing_log::kFrameHeadingPaced);
    for (int i = 0; i < nFrames && w.err == 0; i++) {
      const TIME_STATS& r = st[i];
      w(timing_log::kFrameRowPaced, i, MsOfTicks(r.Start - start, g_perfTime),
        MsOfTicks(r.EoOpenCreate - start, g_perfTime), MsOfTicks(r.EoReadWrite - start, g_perfTime),
        MsOfTicks(r.EoClose - start, g_perfTime), MsOfTicks(r.FrameTime - start, g_perfTime),
        r.QueueUsage);
    }
  } else {
    w("\n%s\n", timing_log::kSummaryHeadingUnpaced);
    w(timing_log::kSummaryRowsUnpaced, file.min, open.min, io.min, close.min, file.avg, open.avg,
      io.avg, close.avg, file.max, open.max, io.max, close.max);
    w("\n%s\n", timing_log::kFrameHeadingUnpaced);
    for (int i = 0; i < nFrames && w.err == 0; i++) {
      const TIME_STATS& r = st[i];
      w(timing_log::kFrameRowUnpaced, i, MsOfTicks(r.Start - start, g_perfTime),
        MsOfTicks(r.EoOpenCreate - start, g_perfTime), MsOfTicks(r.EoReadWrite - start, g_perfTime),
        MsOfTicks(r.EoClose - start, g_perfTime));
    }
  }
  return w.err;
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

int WriteLogFile(int nFrames, const char* logFile, const char* path) {
  FILE* f = g_openedLog;
  g_openedLog = nullptr;
  if (!f) f = OpenTimingLog(logFile);
  if (!f) {
    fprintf(stderr, "Could not create log file: %s\n", strerror(errno));
    return 1;
  }
  if (printf("Writing log file...\n") < 0) NoteStdoutFailure(errno);
  int err = WriteAndCloseLog(f, nFrames, path);
  if (err != 0) {
    fprintf(stderr, "Could not write log file \"%s\": %s\n", logFile, strerror(err));
    return 1;
  }
  return 0;
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
