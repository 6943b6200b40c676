// Frame buffers for direct I/O.
//
// A direct transfer is split by the kernel into one device request per run
// of physically contiguous pages. A large buffer made of scattered 4 KB pages
// (what a fresh anonymous mapping gets on a machine whose free memory is
// fragmented) can need many times the requests of a contiguous one, and on a
// virtual disk that alone halved the measured read throughput of hd frames.
// So a buffer of 1 MiB or more is aligned and rounded up to 2 MiB and asks
// for transparent huge pages (advice that a system without them ignores). Every buffer is
// touched before the run: its pages are faulted in here, not during the
// first timed transfer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "../platform.h"

namespace {
constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kHugeFrom = size_t(1) << 20;
}  // namespace

void* AllocFrameBuffer(size_t size) {
  long page = sysconf(_SC_PAGESIZE);
  size_t align = size_t(page > 0 ? page : 4096);
  size_t allocSize = size;
  if (size >= kHugeFrom) {
    align = kHugePage;
    allocSize = (size + kHugePage - 1) / kHugePage * kHugePage;
  }
  void* p = nullptr;
  if (posix_memalign(&p, align, allocSize) != 0) return nullptr;
  if (allocSize >= kHugePage) madvise(p, allocSize, MADV_HUGEPAGE);
  memset(p, 0, allocSize);
  return p;
}

void FreeFrameBuffer(void* buffer) { free(buffer); }
