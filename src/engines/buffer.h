// A page-aligned data buffer that frees itself: direct I/O needs buffers
// aligned to the page, and every engine allocates its buffers once, before
// the clock starts.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>

class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  ~AlignedBuffer() { free(data_); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  // Allocates `size` bytes on a page boundary; false when memory is short.
  bool Allocate(size_t size) {
    free(data_);
    data_ = nullptr;
    long page = sysconf(_SC_PAGESIZE);
    void* p = nullptr;
    if (posix_memalign(&p, size_t(page > 0 ? page : 4096), size) != 0) return false;
    data_ = static_cast<unsigned char*>(p);
    return true;
  }
  void Fill(unsigned char value, size_t size) { memset(data_, value, size); }
  unsigned char* get() const { return data_; }

 private:
  unsigned char* data_ = nullptr;
};
