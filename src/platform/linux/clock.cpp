// The clock: microsecond ticks of CLOCK_MONOTONIC.
//
// A monotonic clock, not the time of day: a wall-clock step (NTP, an admin
// setting the date) during a run must never produce negative or inflated
// frame times.
#include <time.h>

#include "../platform.h"

BOOL QueryPerfFreq(int64_t* perfFreq) {
  *perfFreq = 1000000;
  return TRUE;
}

BOOL QueryPerfCount(int64_t* perfCount) {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return FALSE;
  *perfCount = int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  return TRUE;
}

void QueryPerfCountInto(std::atomic<int64_t>* target) {
  int64_t now = 0;
  if (QueryPerfCount(&now)) target->store(now, std::memory_order_release);
}
