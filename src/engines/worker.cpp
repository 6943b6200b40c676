// The hand-over protocol between a multithreaded engine and its workers; the
// design note is in worker.h.
#include "worker.h"

#include "../platform/platform.h"

namespace {
// Raised each time a worker finishes a frame or ends; an engine that finds
// no worker done sleeps on it (a futex) instead of polling.
std::atomic<uint32_t> g_workerEvents{0};

void WorkerEvent() {
  g_workerEvents.fetch_add(1, std::memory_order_release);
  g_workerEvents.notify_all();
}
}  // namespace

int StartWorker(PPARAMS p, THREAD* thread, void* (*proc)(void*)) {
  int rc = pthread_mutex_init(&p->Mutex, nullptr);
  rc |= pthread_cond_init(&p->GoEvent, nullptr);
  rc |= pthread_cond_init(&p->CompletedEvent, nullptr);
  rc |= pthread_create(thread, &g_pthreadAttr, proc, p);
  return rc;
}

void WaitForWorker(PPARAMS p) {
  pthread_mutex_lock(&p->Mutex);
  while (!p->HasCompleted && !p->Terminate.load()) pthread_cond_wait(&p->CompletedEvent, &p->Mutex);
}

bool TryCollectWorker(PPARAMS p) {
  // Judged by the flags, not by a failed trylock: a worker that has just
  // finished takes its lock again for a moment to wait for its next frame,
  // and an engine that took that moment for "busy" would sleep on an event
  // already counted and never wake. A done (or ending) worker holds its lock
  // at most that moment; one that failed a write holds it until the frame
  // is finished, which is what the engine waits for anyway.
  if (!p->HasCompleted.load() && !p->Terminate.load()) return false;
  pthread_mutex_lock(&p->Mutex);
  if (p->HasCompleted.load() || p->Terminate.load()) return true;
  pthread_mutex_unlock(&p->Mutex);
  return false;
}

int WaitForAnyWorker(PARAMS* params, int numWorkers, int start) {
  for (;;) {
    uint32_t seen = g_workerEvents.load(std::memory_order_acquire);
    for (int k = 0, t = start; k < numWorkers; k++, t = t + 1 == numWorkers ? 0 : t + 1)
      if (TryCollectWorker(&params[t])) return t;
    g_workerEvents.wait(seen, std::memory_order_acquire);
  }
}

int64_t TakeBytes(PPARAMS p) {
  int64_t n = p->BytesTransferred;
  p->BytesTransferred = 0;
  return n;
}

void ReleaseWorker(PPARAMS p) {
  p->HasCompleted = FALSE;
  p->CanGo = TRUE;
  pthread_mutex_unlock(&p->Mutex);
  pthread_cond_signal(&p->GoEvent);
}

void EndWorker(PPARAMS p, THREAD thread) {
  pthread_mutex_lock(&p->Mutex);
  p->Terminate.store(TRUE);
  pthread_mutex_unlock(&p->Mutex);
  pthread_cond_signal(&p->GoEvent);
  pthread_join(thread, nullptr);
}

void DestroyWorker(PPARAMS p) {
  pthread_mutex_destroy(&p->Mutex);
  pthread_cond_destroy(&p->GoEvent);
  pthread_cond_destroy(&p->CompletedEvent);
}

bool EndedBeforeFirstFrame(PPARAMS p) {
  // A read worker starts with its first frame already handed over; the stop
  // request must not make it skip that frame.
  pthread_mutex_lock(&p->Mutex);
  bool ended = p->Terminate.load() && !p->CanGo;
  pthread_mutex_unlock(&p->Mutex);
  return ended;
}

bool WaitForFrame(PPARAMS p) {
  pthread_mutex_lock(&p->Mutex);
  while (!p->CanGo) {
    if (p->Terminate.load()) {
      pthread_mutex_unlock(&p->Mutex);
      return false;
    }
    pthread_cond_wait(&p->GoEvent, &p->Mutex);
  }
  return true;
}

bool FinishFrame(PPARAMS p) {
  p->HasCompleted = TRUE;
  p->CanGo = FALSE;
  // Read under the lock: here Terminate can only have been set by the worker
  // itself (a failed write) or before this frame was picked up. Once the
  // lock is released, the engine may hand over the next frame and then ask
  // the worker to end; the worker must then still perform that frame, which
  // WaitForFrame sees.
  bool end = p->Terminate.load();
  pthread_mutex_unlock(&p->Mutex);
  pthread_cond_signal(&p->CompletedEvent);
  WorkerEvent();
  return end;
}

void AbandonFrame(PPARAMS p) {
  p->Terminate.store(TRUE);
  pthread_mutex_unlock(&p->Mutex);
  pthread_cond_signal(&p->CompletedEvent);
  WorkerEvent();
}
