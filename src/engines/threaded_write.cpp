// The multithreaded write test: a pool of workers, each writing whole frames
// with blocking calls, fed by the engine on the main thread (protocol in
// worker.h).
//
// The workers exist before the clock starts, and so do their buffers,
// allocated, faulted in and filled with 't' (0x74), so that no worker's first
// frame pays for them. Frames are handed out in
// cyclic order and collected either in the same order or, with -o, from
// whichever worker is done first: each worker's done flag in turn, so the
// engine never blocks behind a busy one, and sleeping until a worker
// finishes when none is done yet (WaitForAnyWorker). Every worker holds
// exactly one frame from the initial hand-out on, so the winding down ends
// and joins each worker once, after its last frame.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "../frameset.h"
#include "../messages.h"
#include "../params.h"
#include "../platform/platform.h"
#include "../stats.h"
#include "buffer.h"
#include "engines.h"
#include "pacing.h"
#include "transfer.h"
#include "worker.h"

namespace {

int NextWorker(int thread, int numOps) { return thread + 1 == numOps ? 0 : thread + 1; }

}  // namespace

int CreateOrdaviThreaded(char* fileName, char* namePart) {
  PARAMS params[kMaxWorkers];
  THREAD threadPool[kMaxWorkers];
  AlignedBuffer buffers[kMaxWorkers];
  InFlight inFlight;
  const int numOps = std::min(std::max(g_numOps, 1), std::min(kMaxWorkers, g_numFrames));

  for (int t = 0; t < numOps; t++) {
    int rc = StartWorker(&params[t], &threadPool[t], WriteFrameThreadProc);
    if (rc != 0) Fatal(rc, "Cannot create IO worker thread");
  }
  printf("Writing frames (sync, multithreaded: %d, rate: %d, queue: %d)\n", g_numOps, g_frameRate,
         g_frameQueueSize);

  params[0].FileDes = OpenStreamFile(fileName, true);
  for (int t = 0; t < numOps && PieceBufferSize() > 0; t++) {
    if (!buffers[t].Allocate(size_t(PieceBufferSize())))
      Fatal(errno, "Could not allocate memory for buffer");
    buffers[t].Fill(0x74, size_t(PieceBufferSize()));
  }

  PacingThread pacing;
  BeginRun(&pacing, false);

  // Initial hand-out: one frame to each worker, even after a failure of an
  // earlier worker's frame (the steady state then still runs once). Only a
  // frame wait cut short by a break ends it: the capture thread has ended,
  // so no further frame can come.
  int iNext = 0;
  for (; iNext < numOps; iNext++) {
    PPARAMS p = &params[iNext];
    int frameIndex = GenFileName(fileName, namePart, iNext);
    if (pacing.started) {
      Verbose("- Waiting for frame %d", iNext);
      if (!WaitForSema(g_frameSema, TRUE)) {
        // A wait cut short by the stop (a break) ends the hand-out in order.
        if (g_terminate.load()) break;
        Fatal(errno, "An error occurred waiting for a frame");
      }
    }
    pthread_mutex_lock(&p->Mutex);
    p->FrameIndex = frameIndex;
    p->FileDes = params[0].FileDes;
    snprintf(p->FileName, sizeof p->FileName, "%s", fileName);
    p->Buffer = buffers[iNext].get();
    p->Times = g_frameStats + iNext;
    inFlight.Hold(iNext, iNext);
    Verbose("- about to release thread %d [%p]", iNext, static_cast<void*>(p));
    ReleaseWorker(p);
  }
  const int handedOutFirst = iNext;

  // Steady state: collect one, hand out one.
  int thread = 0;
  int iWait = 0;
  int published = 0;
  while (handedOutFirst == numOps && iNext < g_numFrames) {
    int frameIndex = GenFileName(fileName, namePart, iNext);
    if (pacing.started) {
      Verbose("- Waiting for frame %d", iNext);
      if (!WaitForSema(g_frameSema, TRUE)) {
        Error(errno, "An error occurred waiting for a frame");
        break;
      }
    }

    if (!g_isOutOfOrderIo) {
      Verbose("- waiting for thread %d", thread);
      WaitForWorker(&params[thread]);
    } else {
      Verbose("- waiting for any thread");
      thread = WaitForAnyWorker(params, numOps, thread);
    }

    PPARAMS p = &params[thread];
    Verbose("- thread %d finished [%p]", thread, static_cast<void*>(p));
    g_bytesTransferred += TakeBytes(p);
    iWait++;
    // In order, the collected frame is the oldest one. Out of order, a
    // record is published only once every record before it is collected.
    inFlight.Drop(thread);
    for (int settled = inFlight.Settled(numOps, iNext); published < settled; published++)
      PublishFrame();

    snprintf(p->FileName, sizeof p->FileName, "%s", fileName);
    p->Times = g_frameStats + iNext;
    p->FrameIndex = frameIndex;
    inFlight.Hold(thread, iNext);
    Verbose("- about release thread %d: %s [%p]", thread, fileName, static_cast<void*>(p));
    ReleaseWorker(p);

    thread = NextWorker(thread, numOps);
    iNext++;
    if (g_terminate.load()) break;
  }

  // Winding down: ending a worker waits for the frame it holds. The stop flag
  // is raised only afterwards: a failure in one of these last frames must
  // still be reported, and the capture thread has ended by itself once it
  // queued the last frame (or on the stop that ended the loop).
  Verbose("- FINISHING");
  while (iWait < iNext) {
    PPARAMS p = &params[thread];
    Verbose("- Waiting for thread %d [%p]", thread, static_cast<void*>(p));
    EndWorker(p, threadPool[thread]);
    g_bytesTransferred += TakeBytes(p);
    iWait++;
    inFlight.Drop(thread);
    for (int settled = inFlight.Settled(numOps, iNext); published < settled; published++)
      PublishFrame();
    thread = NextWorker(thread, numOps);
  }
  // Workers that never got a frame (the run stopped during the initial
  // hand-out) are idle: they end at once.
  for (int t = handedOutFirst; t < numOps; t++) EndWorker(&params[t], threadPool[t]);
  for (int t = 0; t < numOps; t++) DestroyWorker(&params[t]);

  EndRun(&pacing);
  if (g_streamMode) close(params[0].FileDes);
  return iWait;
}
