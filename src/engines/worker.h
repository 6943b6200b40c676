// The I/O worker of the multithreaded engines and its hand-over protocol.
//
// DESIGN. The engine (on the main thread) does no I/O itself: it names each
// frame, hands it to one of up to 20 workers, collects the worker's result
// and publishes the frame. Each worker owns one PARAMS record, the only
// channel between it and the engine, guarded by the record's own mutex. The
// worker holds that mutex for the whole of a frame, I/O included, so "the
// mutex is free" means "the worker is idle or done", and an engine that
// locks a busy worker's mutex simply waits until its frame is finished.
//
// One frame goes through these steps:
//   1. engine: lock; fill FileName, FrameIndex, Times; HasCompleted = FALSE,
//      CanGo = TRUE; unlock; signal GoEvent                   (ReleaseWorker)
//   2. worker: lock; wait on GoEvent until CanGo (or Terminate with no frame
//      handed over); keep the lock and perform the frame      (WaitForFrame)
//   3. worker: HasCompleted = TRUE, CanGo = FALSE; unlock; signal
//      CompletedEvent                                         (FinishFrame)
//   4. engine: lock; wait on CompletedEvent until HasCompleted or Terminate;
//      take the result; go on with step 1 while still holding the lock
//                                         (WaitForWorker, TryCollectWorker)
//   5. engine, to end a worker: lock; Terminate = TRUE; unlock; signal
//      GoEvent; join. A worker with a frame handed over performs it first, so
//      the join also waits for its last frame.                  (EndWorker)
//
// A worker that cannot create or open its frame file ends at once: it sets
// Terminate, unlocks and signals CompletedEvent (AbandonFrame), so an engine
// waiting for it wakes and treats it like a finished worker.
//
// The engine locks at most one record at a time and a worker only its own,
// so there is no lock order. Signals are sent after the unlock and every wait
// re-tests its flags. CanGo and HasCompleted are only written under the lock;
// HasCompleted and Terminate are atomic so that an out-of-order engine can
// find a done worker without the lock (a failed trylock cannot tell a busy
// worker from one that just took its lock to wait for the next frame), but
// the worker decides to end only on what it read under the lock: a check
// after the unlock could see a Terminate meant for after the next frame, which
// the engine may have handed over in between, and that frame would be lost.
#pragma once

#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "../stats.h"
#include "../types.h"

constexpr int kMaxWorkers = 20;

struct PARAMS {
  MUTEX Mutex;           // guards the record; held by the worker during a frame
  EVENT GoEvent;         // engine to worker: a frame was handed over, or Terminate
  BOOL CanGo = FALSE;    // a frame was handed over and is not finished
  EVENT CompletedEvent;  // worker to engine: the frame is done, or the worker ended
  std::atomic<BOOL> HasCompleted{FALSE};  // done and not yet collected (read unlocked to poll)
  std::atomic<BOOL> Terminate{FALSE};     // the worker is to end, or it ended after a failure
  unsigned char* Buffer = nullptr;        // g_ioSize bytes, page-aligned; none when g_ioSize is 0
  int FrameIndex = 0;                     // frame number from GenFileName: the stream slice
  HANDLE FileDes = -1;                    // stream mode: the one stream file, shared by all
  char FileName[kPathBufSize] = {};       // full path of the frame's file
  PTIME_STATS Times = nullptr;            // the frame's record in g_frameStats
  int64_t BytesTransferred = 0;           // bytes moved since the engine last collected
};
typedef PARAMS* PPARAMS;

// ---- engine side

// Initialises the record's mutex and events and starts `proc` on it with
// g_pthreadAttr. Returns 0, or the bitwise OR of the four result codes.
int StartWorker(PPARAMS p, THREAD* thread, void* (*proc)(void*));

// Step 4, in order: locks and waits until the worker is done or has ended.
// Returns with the record locked.
void WaitForWorker(PPARAMS p);

// Step 4, out of order: one attempt that never waits for a frame in
// progress (except one a failed write is finishing). True, with the record
// locked, when the worker is done or has ended; false, unlocked, otherwise.
bool TryCollectWorker(PPARAMS p);

// Step 4, out of order: tries each worker in turn from `start` with
// TryCollectWorker and returns the first that is done or has ended, with its
// record locked. When none is, sleeps until some worker finishes a frame
// (no spinning) and tries again.
int WaitForAnyWorker(PARAMS* params, int numWorkers, int start);

// The bytes the worker moved since the last collection (record locked, or
// the worker joined); resets the worker's count.
int64_t TakeBytes(PPARAMS p);

// Step 1 with the record already locked and filled: marks the frame handed
// over, unlocks and wakes the worker.
void ReleaseWorker(PPARAMS p);

// Step 5: ends the worker and joins it (after its last frame, if any).
void EndWorker(PPARAMS p, THREAD thread);

// Destroys the record's mutex and events (the worker has been joined).
void DestroyWorker(PPARAMS p);

// ---- worker side

// True when the worker was told to end before it was given any frame.
bool EndedBeforeFirstFrame(PPARAMS p);

// Step 2: locks and waits for a frame. True with the record locked when a
// frame was handed over; false, unlocked, when the worker is to end.
bool WaitForFrame(PPARAMS p);

// Step 3: marks the frame done, unlocks and wakes the engine. True when the
// worker is to end now: Terminate was set when the frame was done.
bool FinishFrame(PPARAMS p);

// The frame's file could not be created or opened: the worker ends. Sets
// Terminate, unlocks and wakes the engine.
void AbandonFrame(PPARAMS p);

// ---- the workers themselves (frame_worker.cpp), one per direction

void* WriteFrameThreadProc(void* arg);
void* ReadFrameThreadProc(void* arg);

// ---- publication of out-of-order frames

// The frames each worker holds, as record indexes, so that an engine that
// collects out of order can publish only the records below the oldest frame
// still in flight: the live display then never reads a record that a worker
// is still writing.
class InFlight {
 public:
  InFlight() {
    for (int& h : held_) h = INT_MAX;
  }
  void Hold(int worker, int record) { held_[worker] = record; }
  void Drop(int worker) { held_[worker] = INT_MAX; }
  // Number of leading records that no worker holds, at most `handedOut`.
  int Settled(int numWorkers, int handedOut) const {
    int oldest = handedOut;
    for (int t = 0; t < numWorkers; t++)
      if (held_[t] < oldest) oldest = held_[t];
    return oldest;
  }

 private:
  int held_[kMaxWorkers];
};
