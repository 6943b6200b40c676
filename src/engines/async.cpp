// Asynchronous engines: up to 50 frames in flight through the platform's
// asynchronous I/O (io_uring on Linux, POSIX AIO where io_uring is not
// allowed), all driven from the main thread. Each transfer's end is the
// moment it completed, stamped by the platform, not the moment this thread
// collected it: a paced engine may have been waiting a frame period first.
//
// DESIGN. A ring of n slots (n = -a, never more than the number of frames);
// each slot is one control block with its own page-aligned buffer of one
// whole frame, so a frame is always exactly one operation. After the clock
// starts the ring is filled back to back (fill); then every iteration
// completes one slot and gives it the next frame (steady state); at the end
// every operation still in flight is waited for and published (drain).
//
// The write engine collects slots in issue order, or with -o whichever slot
// finished first, and therefore remembers each slot's record. The read engine
// always collects in order, so slot f mod n holds frame f and records are
// published in frame order, as the playback queue needs.
//
// Whether a slot holds a transfer is read from its control block, whose state
// the platform keeps (idle, in flight, done): the drain and the release of
// the buffers go by it alone, so a slot whose result was already collected,
// or into which nothing was queued, is never waited on, collected or
// published again, whatever made the main loop stop, and no buffer is freed
// under a transfer. A frame whose transfer
// failed or came up short is still closed, stamped and published where the
// failure is seen, as the synchronous engines publish a failed frame; a frame
// whose file was opened but whose transfer could not be queued is closed at
// once and stays unpublished, like a frame whose open failed.
//
// Failures during the fill end the process (nothing has been measured yet);
// from the steady state on they stop the run in an orderly way. A user break
// is never treated as a failure: it stops the fill or the loop, and the
// frames already issued are drained.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../frameset.h"
#include "../messages.h"
#include "../params.h"
#include "../platform/platform.h"
#include "../stats.h"
#include "engines.h"
#include "pacing.h"

namespace {

constexpr int kMaxAioOps = 50;  // the largest ring -a allows

struct Slot {
  PTIME_STATS pts = nullptr;  // record of the frame in this slot
  bool ownsFile = false;      // aio.fd is this frame's own file (not the stream)
};

// The slots with their control blocks, buffers and the stream file. Buffers
// and descriptors are released by the engine at the points of its tear-down;
// the destructor only guarantees that nothing leaks on any path.
class AioRing {
 public:
  AioRing(int n, int offset) : n_(n) {
    for (int s = 0; s < kMaxAioOps; s++) wait[s] = nullptr;
    for (int s = 0; s < n_; s++)
      if (!AioSetup(&aio[s], &wait[s], offset, g_dataSize))
        Fatal(errno, "Could not allocate memory for buffer");
  }
  ~AioRing() {
    AioShutdown();
    for (int s = 0; s < n_; s++) CloseOwnFile(s);
    FreeBuffers();
    CloseStream();
  }
  AioRing(const AioRing&) = delete;
  AioRing& operator=(const AioRing&) = delete;

  // Sets up the transfers' path once the stream file (if any) is open, before
  // the clock starts, and says which path it is and what it could get.
  void Start() {
    if (!AioInit(aio, n_, stream)) Fatal(errno, "Could not set up asynchronous I/O");
    started_ = true;
    Verbose("- asynchronous I/O: %s", AioPathName());
    if (AioHelperThreads() < n_)
      fprintf(stderr, "Warning: only %d of %d asynchronous I/O threads could be started\n",
              AioHelperThreads(), n_);
  }

  // The finished transfer's byte count, or -1 with errno set to its own
  // error. The transfer's end is the moment it completed. The slot holds
  // nothing in flight afterwards.
  ssize_t Collect(int s) { return AioReturn(&aio[s], &slot[s].pts->EoReadWrite); }

  // The slot holds a transfer that was queued and not yet collected.
  bool InFlight(int s) const { return aio[s].state.load(std::memory_order_acquire) != kAioIdle; }

  // Queues slot s's transfer; false with errno set when it cannot be queued
  // (the frame's own file is then closed at once).
  bool Queue(int s, bool write) {
    if (!(write ? AioWrite(&aio[s]) : AioRead(&aio[s]))) {
      int err = errno;
      CloseOwnFile(s);
      errno = err;
      return false;
    }
    return true;
  }

  // Points slot s at frame fnum: the slot's stream descriptor at its slice,
  // or the frame's own file opened with `oflag`. Takes EoOpenCreate. False
  // with errno set when the frame file cannot be opened.
  bool Open(int s, int fnum, const char* fileName, int oflag, int offset) {
    PTIME_STATS pts = slot[s].pts;
    if (g_streamMode) {
      aio[s].fd = aio[s].streamFd;
      aio[s].offset = int64_t(fnum) * g_fileSize + offset;
      pts->EoOpenCreate = pts->Start;
      return true;
    }
    HANDLE fd = _dioopen(fileName, oflag);
    if (fd == -1) return false;
    aio[s].fd = fd;
    aio[s].offset = offset;
    slot[s].ownsFile = true;
    QueryPerfCount(&pts->EoOpenCreate);
    return true;
  }

  // Closes the frame's file and publishes the record. The close time is
  // the close call's own duration, counted from the transfer's end: the
  // time the engine spent elsewhere before it collected the frame belongs
  // to no phase of the frame.
  void FinishFrame(int s) {
    PTIME_STATS pts = slot[s].pts;
    if (slot[s].ownsFile) {
      int64_t before, after;
      QueryPerfCount(&before);
      CloseOwnFile(s);
      QueryPerfCount(&after);
      pts->EoClose = pts->EoReadWrite + (after - before);
    } else {
      pts->EoClose = pts->EoReadWrite;
    }
    PublishCompleted();
  }

  // Publishes every record up to the first one not yet finished. In order
  // that is exactly the frame just finished; out of order (-o), a frame that
  // completes ahead of an older one waits for it, so the display never reads
  // a record that is still being written. Only this thread writes EoClose,
  // so reading it here is no race; records never started hold 0 there.
  static void PublishCompleted() {
    int n = g_numFrameStats.load(std::memory_order_relaxed);
    int published = n;
    while (n < g_numFrames && g_frameStats[n].EoClose != 0) n++;
    if (n != published) g_numFrameStats.store(n, std::memory_order_release);
  }

  void CloseOwnFile(int s) {
    if (!slot[s].ownsFile) return;
    close(aio[s].fd);
    aio[s].fd = -1;
    slot[s].ownsFile = false;
  }

  void FreeBuffers() {
    for (int s = 0; s < n_; s++)
      if (!InFlight(s)) AioCleanup(&aio[s]);  // never under a running transfer
  }

  void CloseStream() {
    if (started_) AioShutdown();  // the per-slot stream descriptors go with it
    started_ = false;
    if (stream != -1) close(stream);
    stream = -1;
  }

  AIO aio[kMaxAioOps];
  AIO_WAIT wait[kMaxAioOps];
  Slot slot[kMaxAioOps];
  HANDLE stream = -1;

 private:
  int n_;
  bool started_ = false;
};

// The ring size: -a, never more than the frames of the run nor the arrays.
int RingSize() {
  int n = g_numOps;
  if (n > g_numFrames) n = g_numFrames;
  if (n > kMaxAioOps) n = kMaxAioOps;
  if (n < 1) n = g_numFrames > 0 ? 1 : 0;
  return n;
}

// Collects slot s's finished transfer: reports a failed or short one,
// counts the bytes, closes and publishes the frame, and in a paced read
// hands it to playback. True when the whole frame was moved.
bool CompleteSlot(AioRing* ring, int s, bool write, PacingThread* pacing) {
  PTIME_STATS done = ring->slot[s].pts;
  ssize_t nBytes = ring->Collect(s);
  if (nBytes == -1)
    Error(errno, write ? "An error occurred getting the return value for the write"
                       : "An error occurred getting the return value for the read");
  else if (nBytes != g_dataSize && write)
    Error(28, "Only %d of %d bytes were written", int(nBytes), g_dataSize);
  else if (nBytes != g_dataSize)
    Error(0, "Only %d of %d bytes were read", int(nBytes), g_dataSize);
  else
    g_bytesTransferred += nBytes;
  ring->FinishFrame(s);
  if (!write) HandOverFrame(pacing, done, true);
  return nBytes == g_dataSize;
}

// Waits for and collects every transfer still in flight, in slot order from
// `first` (the slot the main loop would have waited for next, which is frame
// order). The first failure of the run is reported wherever it happens: the
// stop flag is raised only after the drain, so a failure in the last frames
// is not mistaken for one that follows a stop.
void Drain(AioRing* ring, int n, int first, bool write, PacingThread* pacing) {
  for (int i = 0; i < n; i++) {
    const int s = (first + i) % n;
    if (!ring->InFlight(s)) continue;
    Verbose(write ? "- Waiting for final I/O %d" : "- waiting for final I/O %d", s);
    if (WaitForAio(&ring->wait[s], 1) == -1)
      Error(errno, "An error occurred waiting for a file I/O to complete");
    CompleteSlot(ring, s, write, pacing);
  }
}

// What differs between the two directions: the open flags, the texts of
// the trace and of the failures. Everything else is one mechanism.
struct Direction {
  bool write;
  int oflag;
  const char* aboutToIssue;
  const char* completed;
  const char* openFailed;
  const char* queueFailed;
};

const Direction kWrite = {true,
                          O_WRONLY | O_CREAT,
                          "- about to write file %d: %s",
                          "- I/O %d completed",
                          "Cannot create file \"%s\"",
                          "Cannot write to file \"%s\""};
const Direction kRead = {false,
                         O_RDONLY,
                         "- about to open file %d: %s",
                         "- I/O %d finished",
                         "Cannot open file \"%s\"",
                         "Cannot read from file \"%s\""};

// Waits for the slot the steady state collects next: the one issued n frames
// ago, or in an out-of-order write (-o) whichever finished first. The slot,
// or -1 with errno set.
int WaitForNextSlot(AioRing* ring, int n, int wait, const Direction& d) {
  if (d.write && g_isOutOfOrderIo) {
    Verbose("- waiting for an I/O to complete");
    return WaitForAio(ring->wait, n);
  }
  const int buf = wait % n;
  Verbose(d.write ? "- waiting for I/O %d to complete" : "- waiting for I/O %d", buf);
  return WaitForAio(&ring->wait[buf], 1) == -1 ? -1 : buf;
}

// Gives slot s frame frameIndex in the steady state: names it, stamps its
// start, opens its file (a read whose sequence on disk ends here loops over
// the frames that exist) and queues the transfer. A failure is reported and
// ends the loop (false).
bool IssueFrame(AioRing* ring, int s, int frameIndex, char* fileName, char* namePart, int offset,
                const Direction& d) {
  PTIME_STATS pts = g_frameStats + frameIndex;
  ring->slot[s].pts = pts;
  int fnum = GenFileName(fileName, namePart, frameIndex);
  Verbose(d.aboutToIssue, d.write ? s : frameIndex, fileName);
  QueryPerfCount(&pts->Start);
  bool opened = ring->Open(s, fnum, fileName, d.oflag, offset);
  if (!opened && !d.write && SequenceEndsAt(fileName, namePart, frameIndex, errno)) {
    g_loopFrames = frameIndex;
    fnum = GenFileName(fileName, namePart, frameIndex);
    QueryPerfCount(&pts->Start);
    opened = ring->Open(s, fnum, fileName, d.oflag, offset);
  }
  if (!opened) {
    Error(errno, d.openFailed, fileName);
    return false;
  }
  if (!ring->Queue(s, d.write)) {
    Error(errno, d.queueFailed, fileName);
    return false;
  }
  return true;
}

// The engine of both directions: set-up, fill, steady state, drain.
int RunAsync(char* fileName, char* namePart, const Direction& d) {
  const int n = RingSize();
  const int offset = d.write ? 0 : g_ioOffset;
  AioRing ring(n, offset);
  if (d.write)
    printf("Writing frames (async: %d, rate: %d, queue: %d)\n", n, g_frameRate, g_frameQueueSize);
  else
    printf("Reading frames (async: %d, rate: %d, queue: %d, prebuf: %d)\n", n, g_frameRate,
           g_frameQueueSize, g_framePreBufferCount);
  ring.stream = OpenStreamFile(fileName, d.write);
  ring.Start();
  PacingThread pacing;
  BeginRun(&pacing, !d.write);

  // Fill: one frame per slot, back to back (a read has no end-of-sequence
  // retry here).
  int frameIndex = 0;
  bool stopped = false;
  for (; frameIndex < n; frameIndex++) {
    const int s = frameIndex;
    int fnum = GenFileName(fileName, namePart, frameIndex);
    PTIME_STATS pts = g_frameStats + frameIndex;
    ring.slot[s].pts = pts;
    if (d.write && pacing.started && !WaitForSema(g_frameSema, TRUE)) {
      if (g_terminate) {  // interrupted by the user's break: stop, no failure
        stopped = true;
        break;
      }
      Fatal(errno, "An error occurred waiting for a frame");
    }
    Verbose(d.aboutToIssue, frameIndex, fileName);
    QueryPerfCount(&pts->Start);
    if (!ring.Open(s, fnum, fileName, d.oflag, offset)) Fatal(errno, d.openFailed, fileName);
    if (!ring.Queue(s, d.write)) Fatal(errno, d.queueFailed, fileName);
    // A break during a paced fill must not leave the engine waiting for
    // frames from a capture thread that has already ended.
    if (g_terminate) {
      stopped = true;
      break;
    }
  }

  // Steady state: one completion, one issue. A read collects in order and
  // hands each frame to playback, so frames are published in frame order.
  int wait = 0;
  for (; !stopped && frameIndex < g_numFrames; wait++, frameIndex++) {
    if (d.write && pacing.started && !WaitForSema(g_frameSema, TRUE)) {
      Error(errno, "An error occurred waiting for a frame");
      break;
    }
    int buf = WaitForNextSlot(&ring, n, wait, d);
    if (buf == -1) {
      // The slot stays in flight; the drain collects and publishes it.
      Error(errno, "An error occurred waiting for a file I/O to complete");
      break;
    }
    Verbose(d.completed, buf);
    if (!CompleteSlot(&ring, buf, d.write, &pacing)) break;
    if (!IssueFrame(&ring, buf, frameIndex, fileName, namePart, offset, d)) break;
    if (g_terminate) break;
  }

  // Drain from the slot the loop would have collected next. A write frees
  // its buffers before the end of the run is stamped; a read lets playback
  // show every frame first.
  Verbose("- FINISHING");
  const int next = d.write ? wait : frameIndex;
  Drain(&ring, n, n > 0 ? next % n : 0, d.write, &pacing);
  if (d.write) ring.FreeBuffers();
  EndRun(&pacing);
  ring.FreeBuffers();
  ring.CloseStream();
  return frameIndex;
}

}  // namespace

int CreateOrdaviAsync(char* fileName, char* namePart) {
  return RunAsync(fileName, namePart, kWrite);
}

int ReadOrdaviAsync(char* fileName, char* namePart) { return RunAsync(fileName, namePart, kRead); }
