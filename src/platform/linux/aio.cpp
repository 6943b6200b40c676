// Asynchronous I/O set-up, waiting and clean-up on Linux (glibc POSIX AIO).
//
// glibc performs each queued request with a plain pread/pwrite in a pool of
// helper threads. Requests on one descriptor are served one after another by
// a single helper, so only operations on different descriptors overlap (one
// frame file per slot does; a stream file does not). Completions are never
// signalled: the engine polls them through WaitForAio, so that the engine's
// own thread is the one that observes and time-stamps every completion.
//
// AioInit sizes the helper pool for the largest ring and starts it before
// the clock does, so that no helper is created on a frame's timed path.
#include <aio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "../../messages.h"
#include "../platform.h"

#if defined(__SANITIZE_THREAD__)
#define ORDAVI_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORDAVI_THREAD_SANITIZER 1
#endif
#endif
#ifndef ORDAVI_THREAD_SANITIZER
#define ORDAVI_THREAD_SANITIZER 0
#endif

namespace {

// The asynchronous engines keep at most 50 operations in flight, each on its
// own descriptor in frame-file mode; glibc's default pool of 20 helpers would
// quietly cap the overlap below what -a asked for.
constexpr int kAioHelperThreads = 50;
// Helpers normally leave after a second without work; a paced run at one
// frame per second would then start a thread inside a timed frame.
constexpr int kAioIdleSeconds = 24 * 3600;

// Starts every helper now, from this thread, by queueing one read on each of
// kAioHelperThreads pipes: each read blocks until its pipe gets a byte, so
// glibc gives every one a helper of its own. Creating the helpers before the
// clock starts keeps thread creation off the timed path (a helper that
// later leaves is started again on demand). Best effort: a shortage of
// descriptors only means fewer helpers start early.
#if !ORDAVI_THREAD_SANITIZER
void StartHelperPool() {
  static AIO ops[kAioHelperThreads];
  static char bytes[kAioHelperThreads];
  int pipes[kAioHelperThreads][2];
  int started = 0;
  for (; started < kAioHelperThreads; started++) {
    if (pipe(pipes[started]) != 0) break;
    AIO* op = &ops[started];
    memset(op, 0, sizeof *op);
    op->aio_fildes = pipes[started][0];
    op->aio_buf = &bytes[started];
    op->aio_nbytes = 1;
    op->aio_sigevent.sigev_notify = SIGEV_NONE;
    if (aio_read(op) != 0) {
      close(pipes[started][0]);
      close(pipes[started][1]);
      break;
    }
  }
  for (int i = 0; i < started; i++) (void)!write(pipes[i][1], "", 1);
  for (int i = 0; i < started; i++) {
    AIO_WAIT one[1] = {&ops[i]};
    while (aio_error(&ops[i]) == EINPROGRESS) aio_suspend(one, 1, nullptr);
    aio_return(&ops[i]);
    close(pipes[i][0]);
    close(pipes[i][1]);
  }
}
#endif

}  // namespace

void AioInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    aioinit init;
    memset(&init, 0, sizeof init);
    init.aio_threads = kAioHelperThreads;
    init.aio_num = kAioHelperThreads;
#if ORDAVI_THREAD_SANITIZER
    // The thread sanitizer cannot follow a thread that a helper starts (it
    // crashes in the new thread's first allocation). Helpers that leave as
    // soon as they run out of work are all started by the engine's thread.
    init.aio_idle_time = -1;
    aio_init(&init);
#else
    init.aio_idle_time = kAioIdleSeconds;
    aio_init(&init);  // takes effect only before the first request
    StartHelperPool();
#endif
  });
}

void AioSetup(AIO* aio, AIO_WAIT* aiow, int offset, int size) {
  memset(aio, 0, sizeof *aio);
  // Uncached I/O needs page-aligned buffers. An empty frame still gets one
  // page, so that a zero-byte transfer is queued with a real buffer.
  size_t pageSize = size_t(sysconf(_SC_PAGESIZE));
  size_t allocSize = size > 0 ? size_t(size) : pageSize;
  void* buffer = AllocFrameBuffer(allocSize);
  if (buffer == nullptr) Fatal(ENOMEM, "Could not allocate memory for buffer");
  memset(buffer, 0x61, allocSize);  // an asynchronous write test writes 'a'
  aio->aio_buf = buffer;
  aio->aio_sigevent.sigev_notify = SIGEV_NONE;
  aio->aio_offset = off_t(offset);
  aio->aio_nbytes = size > 0 ? size_t(size) : 0;
  if (aiow != nullptr) *aiow = aio;
}

int WaitForAio(AIO_WAIT* aiow, int count) {
  bool any = false;
  for (int i = 0; i < count; i++) any = any || aiow[i] != nullptr;
  if (!any) {
    errno = EINVAL;  // nothing to wait for: never loop forever on it
    return -1;
  }
  for (;;) {
    // A signal (the user's break, for one) cuts the suspension short with
    // EINTR while the operations are still running; that is no failure of
    // theirs, so look and suspend again rather than let the caller free a
    // buffer the system is still transferring into.
    if (aio_suspend(aiow, count, nullptr) != 0 && errno != EINTR) return -1;
    for (int i = 0; i < count; i++) {
      if (aiow[i] == nullptr) continue;
      int status = aio_error(aiow[i]);
      if (status == EINPROGRESS) continue;
      if (status == 0) return i;
      if (status > 0) errno = status;  // the operation's own failure
      return -1;                       // negative: the query failed, errno is its
    }
  }
}

void AioCleanup(AIO* aio) {
  FreeFrameBuffer(const_cast<void*>(aio->aio_buf));
  aio->aio_buf = nullptr;  // a second clean-up of the same block is harmless
}
