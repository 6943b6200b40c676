// The data transfer of one frame, shared by the engines that move a frame in
// pieces (synchronous and multithreaded): `bytes` bytes in pieces of at most
// g_ioSize at consecutive offsets from `ofs`, with positioned I/O so that no
// seek lies between the time stamps. The first failed or short piece is
// reported through Error and ends the frame's transfer. Every piece moves at
// least one byte, so no loop can go round without progress (a piece size of
// 0 moves the rest of the frame at once).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "../messages.h"
#include "../params.h"
#include "../platform/platform.h"
#include "../stats.h"
#include "../types.h"

// Opens the frame's file and stamps EoOpenCreate, or in stream mode takes
// the frame's slice of `stream` (EoOpenCreate = Start). `ofs` receives where
// the frame starts. Returns -1 (errno set) when the open failed.
inline HANDLE OpenFrame(const char* fileName, int oflag, HANDLE stream, int fnum, PTIME_STATS pts,
                        int64_t* ofs) {
  if (g_streamMode) {
    *ofs = int64_t(fnum) * g_fileSize;
    pts->EoOpenCreate = pts->Start;
    return stream;
  }
  *ofs = 0;
  HANDLE file = _dioopen(fileName, oflag);
  if (file != -1) QueryPerfCount(&pts->EoOpenCreate);
  return file;
}

// Closes the frame's file and stamps EoClose; a stream slice has nothing to
// close (EoClose = EoReadWrite).
inline void CloseFrame(HANDLE file, PTIME_STATS pts) {
  if (g_streamMode) {
    pts->EoClose = pts->EoReadWrite;
    return;
  }
  close(file);
  QueryPerfCount(&pts->EoClose);
}

// The size of the next piece: g_ioSize, or all that is left if that is less
// or if g_ioSize is not positive.
inline int PieceSize(int bytes) { return g_ioSize > 0 && g_ioSize < bytes ? g_ioSize : bytes; }

// The transfer buffer every frame's pieces fit in (0: no data, no buffer).
inline int PieceBufferSize() { return g_ioSize > 0 ? g_ioSize : g_dataSize; }

// Writes the frame; a short write is reported with 28 (no space left).
// `moved` receives the bytes of the pieces that were written. False on failure.
inline bool WriteFrameData(HANDLE file, const unsigned char* buf, int64_t ofs, int bytes,
                           const char* fileName, int64_t* moved) {
  *moved = 0;
  while (bytes > 0) {
    int nToWrite = PieceSize(bytes);
    ssize_t nBytes = pwrite(file, buf, size_t(nToWrite), ofs);
    if (nBytes == -1) {
      Error(errno, "Cannot write to file \"%s\"", fileName);
      return false;
    }
    if (nBytes != nToWrite) {
      Error(28, "Only %d of %d bytes were written to \"%s\"", int(nBytes), nToWrite, fileName);
      return false;
    }
    *moved += nBytes;
    ofs += nBytes;
    bytes -= nToWrite;
  }
  return true;
}

// Reads the frame; a short read is reported with 0. With `pieceTrace`, each
// piece read is traced with `self`.
inline bool ReadFrameData(HANDLE file, unsigned char* buf, int64_t ofs, int bytes,
                          const char* fileName, int64_t* moved, const char* pieceTrace = nullptr,
                          const void* self = nullptr) {
  *moved = 0;
  while (bytes > 0) {
    int nToRead = PieceSize(bytes);
    ssize_t nBytes = pread(file, buf, size_t(nToRead), ofs);
    if (nBytes == -1) {
      Error(errno, "Cannot read from file \"%s\"", fileName);
      return false;
    }
    if (nBytes != nToRead) {
      Error(0, "Only %d of %d bytes were read from \"%s\"", int(nBytes), nToRead, fileName);
      return false;
    }
    if (pieceTrace) Verbose(pieceTrace, self);
    *moved += nBytes;
    ofs += nBytes;
    bytes -= nToRead;
  }
  return true;
}
