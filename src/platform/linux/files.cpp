// Frame file access.
//
// Frames are opened with O_DIRECT unless -B asked for buffered I/O, so their
// data never passes through the page cache: the benchmark measures the
// storage, not memory. A file system that refuses direct I/O makes the open
// fail (EINVAL), and the engine reports it; it never silently falls back to
// cached I/O. Direct I/O needs 4096-byte aligned buffers, sizes and offsets,
// which the frame sizing and the engines guarantee.
//
// Every frame and stream file is opened with O_NONBLOCK. For a regular file
// or a block device it changes nothing, and it costs no extra call; but a
// FIFO or a socket in the frame set must not hold the run in its open: a
// FIFO without a peer then fails at once (ENXIO for a write), a socket fails
// to open (ENXIO), and a FIFO opened for reading fails its positioned read
// (ESPIPE). Each is reported as the failure of that frame.
#include <fcntl.h>
#include <sys/stat.h>

#include "../../params.h"
#include "../platform.h"

HANDLE _dioopen(const char* filename, int oflag) {
  oflag |= O_NONBLOCK;
  if (!g_bufferedIo) oflag |= O_DIRECT;
  return open(filename, oflag, 0666);
}

int64_t FileSize(const char* filename) {
  struct stat st;
  if (stat(filename, &st) != 0) return -1;
  return int64_t(st.st_size);
}

void CheckMaxDmaSize(int) {}
