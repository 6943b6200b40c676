// The synchronous engines: one frame at a time, one transfer at a time, on
// the main thread.
//
// A frame's timed path is: clock, open/create, clock, the transfers, clock,
// close, clock, publish. Names are generated, and in paced write tests the
// capture thread's frame is taken, before the first stamp; nothing on the
// path allocates, locks or prints (an Error ends the loop after the frame).
#include <fcntl.h>
#include <unistd.h>

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

namespace {

// Closes the stream file (if any) when the engine returns.
struct StreamFile {
  HANDLE fd = -1;
  ~StreamFile() {
    if (fd != -1) close(fd);
  }
};

bool Terminating() { return g_terminate.load(std::memory_order_acquire) != 0; }

}  // namespace

int CreateOrdaviSync(char* fileName, char* namePart) {
  AlignedBuffer buffer;
  if (PieceBufferSize() > 0) {
    if (!buffer.Allocate(size_t(PieceBufferSize())))
      Fatal(errno, "Could not allocate memory for buffer");
    buffer.Fill(0x73, size_t(PieceBufferSize()));
  }
  printf("Writing frames (sync, rate: %u, queue: %u)\n", unsigned(g_frameRate),
         unsigned(g_frameQueueSize));

  StreamFile stream;
  stream.fd = OpenStreamFile(fileName, true);
  PacingThread pacing;
  BeginRun(&pacing, false);

  int frameIndex = 0;
  while (frameIndex < g_numFrames) {
    int fnum = GenFileName(fileName, namePart, frameIndex);
    if (pacing.started && !WaitForSema(g_frameSema, TRUE)) {
      Error(errno, "Could not wait on thread notification");
      break;
    }
    PTIME_STATS pts = g_frameStats + frameIndex;
    QueryPerfCount(&pts->Start);

    int64_t ofs;
    HANDLE file = OpenFrame(fileName, O_WRONLY | O_CREAT, stream.fd, fnum, pts, &ofs);
    if (file == -1) {
      Error(errno, "Cannot create file \"%s\"", fileName);
      break;
    }

    int64_t moved = 0;
    WriteFrameData(file, buffer.get(), ofs, g_dataSize, fileName, &moved);
    g_bytesTransferred += moved;
    QueryPerfCount(&pts->EoReadWrite);

    CloseFrame(file, pts);
    PublishFrame();
    if (Terminating()) break;
    frameIndex++;
  }

  EndRun(&pacing);
  return frameIndex;
}

int ReadOrdaviSync(char* fileName, char* namePart) {
  AlignedBuffer buffer;
  if (PieceBufferSize() > 0 && !buffer.Allocate(size_t(PieceBufferSize())))
    Fatal(errno, "Could not allocate memory for buffer");
  printf("Reading frames (sync, rate: %d, queue: %d, prebuf: %d)\n", g_frameRate, g_frameQueueSize,
         g_framePreBufferCount);

  StreamFile stream;
  stream.fd = OpenStreamFile(fileName, false);
  PacingThread pacing;
  BeginRun(&pacing, true);

  int frameIndex = 0;
  while (frameIndex < g_numFrames) {
    int fnum = GenFileName(fileName, namePart, frameIndex);
    PTIME_STATS pts = g_frameStats + frameIndex;
    QueryPerfCount(&pts->Start);

    int64_t ofs;
    HANDLE file = OpenFrame(fileName, O_RDONLY, stream.fd, fnum, pts, &ofs);
    // End of sequence: the sequence on disk is shorter than the run; from
    // here on the existing frames are read over and over.
    if (file == -1 && SequenceEndsAt(fileName, namePart, frameIndex, errno)) {
      g_loopFrames = frameIndex;
      fnum = GenFileName(fileName, namePart, frameIndex);
      QueryPerfCount(&pts->Start);
      file = OpenFrame(fileName, O_RDONLY, stream.fd, fnum, pts, &ofs);
    }
    if (file == -1) {
      Error(errno, "Cannot open file \"%s\"", fileName);
      break;
    }

    // The crop offset selects the middle part of the frame.
    if (g_dataSize != 0) ofs += g_ioOffset;
    int64_t moved = 0;
    ReadFrameData(file, buffer.get(), ofs, g_dataSize, fileName, &moved);
    g_bytesTransferred += moved;
    QueryPerfCount(&pts->EoReadWrite);

    CloseFrame(file, pts);
    PublishFrame();

    HandOverFrame(&pacing, pts, false);
    if (Terminating()) break;
    frameIndex++;
  }

  EndRun(&pacing);
  return frameIndex;
}
