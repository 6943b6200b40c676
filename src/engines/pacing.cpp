#include "pacing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "../messages.h"
#include "../params.h"
#include "../run_hooks.h"

void StartCapture(PacingThread* p) {
  if (g_frameRate == 0) return;
  int rc = pthread_create(&p->thread, &g_pthreadAttr, SupplyFrameThread, nullptr);
  if (rc != 0) Fatal(rc, "Could not create \"capture\" thread");
  p->started = true;
}

void StartPlayback(PacingThread* p) {
  if (g_frameRate == 0) return;
  int rc = pthread_mutex_init(&p->playbackMutex, nullptr);
  if (rc != 0) Fatal(rc, "Could not create \"playback\" mutex");
  pthread_mutex_lock(&p->playbackMutex);
  // From here on the mutex belongs to the playback thread, which destroys it
  // once it got past it; the engine only unlocks it, once.
  rc = pthread_create(&p->thread, &g_pthreadAttr, ConsumeFrameThread, &p->playbackMutex);
  if (rc != 0) Fatal(rc, "Could not create \"playback\" thread");
  p->started = true;
  p->isPlayback = true;
  p->isThreadRunning = FALSE;
}

void HandOverFrame(PacingThread* p, PTIME_STATS pts, bool traceStart) {
  if (!p->started) return;
  int queuedBufs = 0;
  if (!ReleaseSemaWhenRoom(g_frameSema, &queuedBufs)) {
    // The run stopped while the queue was full: the frame was never queued
    // and has no queue figure.
    pts->QueueUsage = kNoQueueFigure;
    return;
  }
  if (!p->isThreadRunning && queuedBufs >= g_framePreBufferCount) {
    pthread_mutex_unlock(&p->playbackMutex);
    p->isThreadRunning = TRUE;
    if (traceStart) Verbose("- Starting PLAYBACK thread");
  }
  int freePlaces = g_frameQueueSize - queuedBufs - 1;
  pts->QueueUsage = freePlaces;
  g_curQueueUsage.store(freePlaces, std::memory_order_relaxed);
}

HANDLE OpenStreamFile(const char* fileName, bool isWrite) {
  if (!g_streamMode) return -1;
  HANDLE fd = _dioopen(fileName, isWrite ? O_WRONLY | O_CREAT : O_RDONLY);
  if (fd == -1)
    Fatal(errno, isWrite ? "Cannot create file \"%s\"" : "Cannot open file \"%s\"", fileName);
  return fd;
}

void BeginRun(PacingThread* p, bool isRead) {
  if (g_pause != 0) sleep(unsigned(g_pause));
  if (g_runHooks.beforeStart) g_runHooks.beforeStart();
  if (isRead)
    StartPlayback(p);
  else
    StartCapture(p);
  QueryPerfCountInto(&g_startTime);
}

void EndRun(PacingThread* p) {
  g_terminate.store(1, std::memory_order_release);
  QueryPerfCountInto(&g_endTime);
  JoinPacingThread(p);
}

void JoinPacingThread(PacingThread* p) {
  if (!p->started) return;
  // A read test that ended before pre-buffering was complete still holds the
  // start signal; the playback thread shows the frames that were released,
  // finds the queue empty with the stop flag set, and ends.
  if (p->isPlayback && !p->isThreadRunning) {
    pthread_mutex_unlock(&p->playbackMutex);
    p->isThreadRunning = TRUE;
  }
  pthread_join(p->thread, nullptr);
  p->started = false;
}
