// Frame file access.
//
// Frames are opened with O_DIRECT unless -B asked for buffered I/O, so their
// data never passes through the page cache: the benchmark measures the
// storage, not memory. A file system that refuses direct I/O makes the open
// fail (EINVAL), and the engine reports it; it never silently falls back to
// cached I/O. Direct I/O needs 4096-byte aligned buffers, sizes and offsets,
// which the frame sizing and the engines guarantee.
#include <fcntl.h>
#include <sys/stat.h>

#include "../../params.h"
#include "../platform.h"

HANDLE _dioopen(const char* filename, int oflag) {
  if (!g_bufferedIo) oflag |= O_DIRECT;
  return open(filename, oflag, 0666);
}

int64_t FileSize(const char* filename) {
  struct stat st;
  if (stat(filename, &st) != 0) return -1;
  return int64_t(st.st_size);
}

void CheckMaxDmaSize(int) {}
