// A frame buffer that frees itself: page-aligned (direct I/O needs it),
// faulted in at allocation, allocated once before the clock starts.
#pragma once

#include <cerrno>
#include <cstring>

#include "../platform/platform.h"

class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  ~AlignedBuffer() { FreeFrameBuffer(data_); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  // Allocates `size` bytes; false (errno ENOMEM) when memory is short.
  bool Allocate(size_t size) {
    FreeFrameBuffer(data_);
    data_ = static_cast<unsigned char*>(AllocFrameBuffer(size));
    if (data_ == nullptr) errno = ENOMEM;
    return data_ != nullptr;
  }
  void Fill(unsigned char value, size_t size) { memset(data_, value, size); }
  unsigned char* get() const { return data_; }

 private:
  unsigned char* data_ = nullptr;
};
