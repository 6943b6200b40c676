// The pacing threads: the simulated camera (capture) and display (playback).
//
// GRID. Each thread puts its periods on a fixed grid from its first period:
// period k ends at start + k * frameDelay on the monotonic clock, and the
// thread sleeps until that absolute time. Sleeping frameDelay *after* its
// own work would add the loop's time and every scheduling delay to every
// period and quietly run the test slower (easier) than the rate asked. Missed
// time is never caught up in a burst: a thread that wakes after one or more
// whole periods have passed does one period's work and takes the next grid
// point that lies in the future.
//
// A signal (the user's break) may land on a pacing thread during its sleep;
// the sleep then simply goes on to its deadline, and the stop flag set by the
// break handler ends the thread at its next check. Any other sleep failure
// ends the process.
//
// A second break ends playback at once: a slow rate with a deep queue could
// otherwise keep showing queued frames for hours after the user asked to
// stop. The summary covers the frames measured.
#include <time.h>

#include <cerrno>
#include <cstdio>

#include "../../messages.h"
#include "../../params.h"
#include "../../stats.h"
#include "../../timing_log_format.h"
#include "../platform.h"

namespace {

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The frame period: 1000000000 / rate ns, truncated.
int64_t FrameDelayNs() { return timing_log::FramePeriodNs(g_frameRate); }

class PeriodGrid {
 public:
  explicit PeriodGrid(int64_t delay) : delay_(delay), start_(NowNs()), next_(start_ + delay) {}

  // Sleeps until the current grid point, then moves to the next one that
  // lies in the future.
  void SleepOnePeriod() {
    timespec ts;
    ts.tv_sec = time_t(next_ / 1000000000);
    ts.tv_nsec = long(next_ % 1000000000);
    for (;;) {
      int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
      if (rc == 0) break;
      if (rc == EINTR) continue;
      errno = rc;
      perror("nanosleep");
      OrdaviExit(1);
    }
    int64_t now = NowNs();
    next_ += delay_;
    if (next_ <= now) next_ = start_ + ((now - start_) / delay_ + 1) * delay_;
  }

 private:
  int64_t delay_;
  int64_t start_;
  int64_t next_;
};

}  // namespace

void* SupplyFrameThread(void*) {
  PTIME_STATS pts = g_frameStats;
  int64_t delay = FrameDelayNs();
  if (g_terminate.load(std::memory_order_acquire) || g_numFrames < 1) {
    SemaProducerDone(g_frameSema);
    return nullptr;
  }

  PeriodGrid grid(delay);
  int i = 0;
  for (;;) {
    Verbose(" SFT... sleeping");
    grid.SleepOnePeriod();
    int bufCount = 0;
    if (ReleaseSema(g_frameSema, &bufCount)) {
      QueryPerfCount(&pts->FrameTime);
      pts->QueueUsage = bufCount;
      g_curQueueUsage.store(bufCount, std::memory_order_relaxed);
      Verbose(" SFT   * Frame queued, i = %d", i);
      if (g_terminate.load(std::memory_order_acquire)) break;
      pts++;
      i++;
    } else {
      g_dropFrameCount.fetch_add(1, std::memory_order_relaxed);
      g_curQueueUsage.store(g_frameQueueSize, std::memory_order_relaxed);
      Verbose(" SFT   * Dropped frame, i = %d", i);
      if (g_terminate.load(std::memory_order_acquire)) break;
    }
    if (i >= g_numFrames) break;
  }
  SemaProducerDone(g_frameSema);
  return nullptr;
}

void* ConsumeFrameThread(void* param) {
  pthread_mutex_t* startMutex = static_cast<pthread_mutex_t*>(param);
  int64_t delay = FrameDelayNs();

  // Held here until the engine has pre-buffered enough frames.
  pthread_mutex_lock(startMutex);
  pthread_mutex_unlock(startMutex);
  pthread_mutex_destroy(startMutex);

  PeriodGrid grid(delay);
  grid.SleepOnePeriod();
  int i = 0;
  for (;;) {
    if (g_userBreaks.load(std::memory_order_acquire) >= 2) break;
    // Never more frames are taken than the engine released, which is at most
    // g_numFrames, so record i always exists.
    if (i < g_numFrames && WaitForSema(g_frameSema, FALSE)) {
      QueryPerfCount(&g_frameStats[i].FrameTime);
      Verbose(" CFT   * Frame used, i = %d", i);
      i++;
    } else {
      if (g_terminate.load(std::memory_order_acquire)) break;
      g_dropFrameCount.fetch_add(1, std::memory_order_relaxed);
      Verbose(" CFT   * Dropped frame, i = %d", i);
    }
    grid.SleepOnePeriod();
  }
  return nullptr;
}
