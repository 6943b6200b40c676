#include "messages.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "params.h"
#include "platform/platform.h"
#include "stats.h"

int64_t g_perfFreq = 0;
double g_perfTime = 0;
int64_t g_verboseTime = 0;

namespace {
// Raised by the Error that stops a run.
std::atomic<bool> g_testFailed{false};
}  // namespace

void Error(int err, const char* msg, ...) {
  // Only the first failure of a run is reported, even when several workers
  // fail at the same moment: whoever raises the stop flag prints.
  if (g_terminate.exchange(1, std::memory_order_acq_rel)) {
    // The run was stopping already, and only its first failure is shown.
    // A failure after the engine's own end (in its final drain or winding
    // down) still fails the test, silently; one after a user's break is the
    // break's doing, or comes too late to matter.
    if (g_userBreaks.load(std::memory_order_acquire) == 0)
      g_testFailed.store(true, std::memory_order_release);
    return;
  }
  g_testFailed.store(true, std::memory_order_release);
  g_stopRequested.store(1, std::memory_order_release);
  va_list ap;
  va_start(ap, msg);
  vfprintf(stderr, msg, ap);
  va_end(ap);
  fprintf(stderr, "\nError %d: %s\n", err, strerror(err));
}

bool TestFailed() { return g_testFailed.load(std::memory_order_acquire); }

void ResetTestFailed() { g_testFailed.store(false, std::memory_order_release); }

void Fatal(int err, const char* msg, ...) {
  va_list ap;
  va_start(ap, msg);
  vfprintf(stderr, msg, ap);
  va_end(ap);
  fprintf(stderr, "\n***FATAL*** Error %d: %s\n", err, strerror(err));
  OrdaviExit(1);
}

void Verbose(const char* msg, ...) {
  if (!g_isVerbose) return;
  int64_t now = 0;
  QueryPerfCount(&now);
  // One line, one write: lines of different threads never interleave. The
  // buffer holds any path the program builds; a longer line is cut, and it
  // still ends with its newline.
  char line[1024];
  int n = snprintf(line, sizeof line, "%.6f: ", double(now - g_verboseTime) * g_perfTime);
  if (n < 0) return;
  if (n < int(sizeof line) - 1) {
    va_list ap;
    va_start(ap, msg);
    int m = vsnprintf(line + n, sizeof line - size_t(n), msg, ap);
    va_end(ap);
    if (m > 0) n += m;
  }
  if (n > int(sizeof line) - 2) n = int(sizeof line) - 2;
  line[n++] = '\n';
  ssize_t written = write(STDOUT_FILENO, line, size_t(n));
  (void)written;
}
