// The multithreaded read test: a pool of workers, each reading whole frames
// with blocking calls, fed by the engine on the main thread (protocol in
// worker.h).
//
// The workers' buffers are allocated and faulted in before the clock starts,
// so that no worker's first frame pays for them; the workers themselves are
// created after it, each with its first frame already handed over. Frames are always collected in
// order (-o has no effect), because a paced run feeds them to the playback
// thread in frame order; the engine keeps the collected worker locked while
// it waits for room in the frame queue, which cannot deadlock since the
// playback thread takes no worker lock.
//
// Playback is let go once a released frame finds enough frames waiting. A
// short or stopped run may never get there in the steady state, so the
// winding down applies the same test: playback then still starts with the
// pre-buffer full, and the queue can never fill up while playback is held.
// A run that never pre-buffered enough lets playback go before the final
// join; it then shows exactly the frames that were released.
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

int ReadOrdaviThreaded(char* fileName, char* namePart) {
  PARAMS params[kMaxWorkers];
  THREAD threadPool[kMaxWorkers];
  AlignedBuffer buffers[kMaxWorkers];
  const int numOps = std::min(std::max(g_numOps, 1), std::min(kMaxWorkers, g_numFrames));

  printf("Reading frames (sync, multithreaded: %d, rate: %d, queue: %d, prebuf: %d)\n", g_numOps,
         g_frameRate, g_frameQueueSize, g_framePreBufferCount);

  params[0].FileDes = OpenStreamFile(fileName, false);
  for (int t = 0; t < numOps && PieceBufferSize() > 0; t++) {
    if (!buffers[t].Allocate(size_t(PieceBufferSize())))
      Fatal(errno, "Could not allocate memory for buffer");
    params[t].Buffer = buffers[t].get();
  }

  PacingThread pacing;
  BeginRun(&pacing, true);

  // Initial hand-out: each worker is created with its first frame handed
  // over and starts reading at once.
  int i = 0;
  for (; i < numOps; i++) {
    PPARAMS p = &params[i];
    p->FrameIndex = GenFileName(fileName, namePart, i);
    snprintf(p->FileName, sizeof p->FileName, "%s", fileName);
    p->Times = g_frameStats + i;
    p->FileDes = params[0].FileDes;
    p->CanGo = TRUE;
    Verbose("- about to start and release thread %d [%p]", i, static_cast<void*>(p));
    int rc = StartWorker(p, &threadPool[i], ReadFrameThreadProc);
    if (rc != 0) Fatal(rc, "Cannot create thread");
  }

  // Steady state: collect the oldest frame, release it to playback, publish
  // it, and hand the next frame to the same worker.
  bool stopped = false;
  for (; i < g_numFrames; i++) {
    int thread = i % numOps;
    PPARAMS p = &params[thread];
    int frameIndex = GenFileName(fileName, namePart, i);

    Verbose("- waiting for thread %d [%p]", thread, static_cast<void*>(p));
    WaitForWorker(p);
    Verbose("- thread %d finished [%p]", thread, static_cast<void*>(p));
    g_bytesTransferred += TakeBytes(p);
    HandOverFrame(&pacing, p->Times, true);
    PublishFrame();

    snprintf(p->FileName, sizeof p->FileName, "%s", fileName);
    p->FrameIndex = frameIndex;
    p->Times = g_frameStats + i;
    Verbose("- about release thread %d: %s [%p]", thread, fileName, static_cast<void*>(p));
    ReleaseWorker(p);

    if (g_terminate.load()) {
      stopped = true;
      break;
    }
  }

  // Winding down: each worker finishes the frame it holds, oldest first.
  // After a stop the newest frame, i, has been handed out too.
  Verbose("- FINISHING");
  int oldest = (stopped ? i + 1 : i) - numOps;
  for (int k = oldest; k < oldest + numOps; k++) {
    int thread = k % numOps;
    PPARAMS p = &params[thread];
    Verbose("- Waiting for thread %d [%p]", thread, static_cast<void*>(p));
    EndWorker(p, threadPool[thread]);
    g_bytesTransferred += TakeBytes(p);
    HandOverFrame(&pacing, p->Times, true);
    PublishFrame();
  }

  EndRun(&pacing);
  for (int t = 0; t < numOps; t++) DestroyWorker(&params[t]);
  if (g_streamMode) close(params[0].FileDes);
  // After a stop the frame handed out last was read, counted and published
  // too: the summary and the log cover it, so that they, the bytes and the
  // live screen all describe the same frames.
  return stopped ? i + 1 : i;
}
