// The I/O worker of both multithreaded engines: one procedure, run in the
// direction of the test. It waits for a frame (protocol in worker.h), opens
// or creates the frame's file (or takes its slice of the stream), moves the
// frame in pieces with blocking calls, closes it and reports it done, each
// step with the trace line of its direction.
//
// The directions differ in three points. A worker that cannot create its
// frame file says it terminated; one that cannot open it leaves without a
// word. A failed write ends the worker after that frame; a failed read does
// not (the Error has stopped the run, so the engine winds down anyway). A
// read takes the crop offset and traces each piece, a write traces the
// transfer once.
#include <fcntl.h>

#include <cerrno>

#include "../messages.h"
#include "../params.h"
#include "../platform/platform.h"
#include "transfer.h"
#include "worker.h"

namespace {

struct Direction {
  bool write;
  int oflag;
  const char* openFailed;
  const char* waiting;
  const char* released;
  const char* finished;
  const char* terminated;
};

const Direction kWrite = {true,
                          O_WRONLY | O_CREAT,
                          "Cannot create file \"%s\"",
                          "  + About to wait for data to write [%p]",
                          "  + Write thread released: %s [%p]",
                          "  + Write thread finished [%p]",
                          "  + Write thread terminated [%p]"};
const Direction kRead = {false,
                         O_RDONLY,
                         "Cannot open file \"%s\"",
                         "  + Waiting for go-ahead [%p]",
                         "  + Read thread released: %s [%p]",
                         "  + Read thread finished [%p]",
                         "  + Read thread terminated [%p]"};

void* FrameWorker(PPARAMS p, const Direction& d) {
  void* self = p;
  if (EndedBeforeFirstFrame(p)) {
    Verbose(d.terminated, self);
    return nullptr;
  }
  for (;;) {
    Verbose(d.waiting, self);
    if (!WaitForFrame(p)) break;

    Verbose(d.released, p->FileName, self);
    PTIME_STATS pts = p->Times;
    QueryPerfCount(&pts->Start);
    if (d.write) p->BytesTransferred = 0;

    int64_t ofs;
    HANDLE file = OpenFrame(p->FileName, d.oflag, p->FileDes, p->FrameIndex, pts, &ofs);
    if (file == -1) {
      Error(errno, d.openFailed, p->FileName);
      AbandonFrame(p);
      if (d.write) break;
      return nullptr;
    }
    if (!g_streamMode) Verbose("  + Open completed [%p]", self);

    int64_t moved = 0;
    if (d.write) {
      if (!WriteFrameData(file, p->Buffer, ofs, g_dataSize, p->FileName, &moved))
        p->Terminate.store(TRUE);
    } else {
      // The crop offset selects the middle part of the frame.
      if (g_dataSize != 0) ofs += g_ioOffset;
      ReadFrameData(file, p->Buffer, ofs, g_dataSize, p->FileName, &moved,
                    "  + Read completed [%p]", self);
    }
    p->BytesTransferred += moved;
    QueryPerfCount(&pts->EoReadWrite);
    if (d.write) Verbose("  + Write completed [%p]", self);

    CloseFrame(file, pts);
    Verbose(d.finished, self);
    if (FinishFrame(p)) break;
  }
  Verbose(d.terminated, self);
  return nullptr;
}

}  // namespace

void* WriteFrameThreadProc(void* arg) { return FrameWorker(static_cast<PPARAMS>(arg), kWrite); }

void* ReadFrameThreadProc(void* arg) { return FrameWorker(static_cast<PPARAMS>(arg), kRead); }
