// Asynchronous I/O on Linux: io_uring, or glibc's POSIX AIO where io_uring
// is missing or forbidden.
//
// PATH. AioInit decides once, before the clock starts. io_uring keeps every
// transfer of the ring really in flight on one descriptor, allocates nothing
// per transfer and, where the memory-lock limit allows, works on registered
// buffers (pre-mapped pages). A kernel without io_uring (ENOSYS), one that
// forbids it (EPERM from kernel.io_uring_disabled or a seccomp profile) or
// any other set-up failure falls back to POSIX AIO. glibc serves the requests
// of one descriptor one after another, so there every slot gets a descriptor
// of its own: its own frame file, or its own duplicate of the stream file.
//
// COMPLETION TIME. A transfer's end is stamped when it completes, not when
// the engine gets round to collecting it (a paced engine may first wait a
// whole frame period for the next frame). One completion thread per ring
// waits for completions, reads the clock, stores the result and the time in
// the slot and publishes the slot with a release store; the engine blocks on
// a futex-backed counter until a slot it waits for is done. The io_uring
// thread sleeps in the kernel until a completion arrives. glibc has no
// completion event a thread can sleep on together with newly queued
// requests, so the fallback's thread suspends on the requests it knows with a
// 1 ms timeout while any are in flight, and sleeps on the counter otherwise.
//
// A build without liburing (ORDAVI_HAVE_LIBURING 0) has the POSIX AIO path
// only: its io_uring set-up fails as a kernel without io_uring does.
#include <fcntl.h>
#if ORDAVI_HAVE_LIBURING
#include <liburing.h>
#endif
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

bool g_aioForcePosix = false;

namespace {

constexpr int kMaxSlots = 64;  // above the largest ring -a allows
// Attempts at a submission that fails for the moment, 1 ms apart.
constexpr int kSubmitAttempts = 100;

enum class Path { kNone, kUring, kPosix };

Path g_path = Path::kNone;
bool g_fixedBuffers = false;
AIO* g_slots = nullptr;
int g_numSlots = 0;
int g_helperThreads = 0;
THREAD g_completer;
bool g_completerRunning = false;
// The marker of a request withdrawn after a failed submission, and how many
// such requests the completion thread has not yet seen complete: the ring
// is not torn down under one of them.
[[maybe_unused]] char g_withdrawn;  // io_uring only
std::atomic<int> g_withdrawnPending{0};
// Tells the io_uring completion thread to end when no stop marker could be
// submitted; it looks at it whenever its wait times out.
std::atomic<bool> g_completerStop{false};

// Raised once per completion; the engine sleeps on it (futex) while none of
// the slots it waits for is done.
std::atomic<uint32_t> g_completions{0};

// POSIX AIO: the requests queued by the engine, handed to the completion
// thread. One producer (the engine), one consumer; at most kMaxSlots pending.
AIO* g_queued[kMaxSlots];
std::atomic<uint32_t> g_queuedTail{0};
uint32_t g_queuedHead = 0;  // completion thread only

void Publish(AIO* aio, ssize_t result, int64_t doneAt) {
  // Pairs with the release store of the submission: the engine's last
  // reading of the slot happens before these writes (the kernel orders them
  // anyway; this makes the order visible to the thread sanitizer too).
  (void)aio->state.load(std::memory_order_acquire);
  aio->result = result;
  aio->doneAt = doneAt;
  aio->state.store(kAioDone, std::memory_order_release);
  g_completions.fetch_add(1, std::memory_order_release);
  g_completions.notify_all();
}

// ---- io_uring
#if ORDAVI_HAVE_LIBURING

io_uring g_ring;

void* UringCompleter(void*) {
  bool stopSeen = false;
  for (;;) {
    io_uring_cqe* cqe = nullptr;
    // Where the kernel can time a wait without a request of its own, the
    // thread wakes now and then to see whether it is to end.
    __kernel_timespec wake = {0, 200000000};
    int rc = (g_ring.features & IORING_FEAT_EXT_ARG) != 0
                 ? io_uring_wait_cqe_timeout(&g_ring, &cqe, &wake)
                 : io_uring_wait_cqe(&g_ring, &cqe);
    int64_t now;
    QueryPerfCount(&now);
    if (rc == -ETIME || rc == -EINTR || rc == -EAGAIN) {
      // The stop marker never got through (nor, before it, anything else).
      if (!stopSeen && g_completerStop.load(std::memory_order_acquire)) return nullptr;
      continue;
    }
    if (rc < 0) {
      // The ring itself failed: every transfer in flight fails with it, so
      // that no waiter hangs, and the thread ends.
      for (int s = 0; s < g_numSlots; s++)
        if (g_slots[s].state.load(std::memory_order_acquire) == kAioInFlight)
          Publish(&g_slots[s], rc, now);
      return nullptr;
    }
    AIO* aio = static_cast<AIO*>(io_uring_cqe_get_data(cqe));
    int res = cqe->res;
    io_uring_cqe_seen(&g_ring, cqe);
    if (aio == nullptr)
      stopSeen = true;  // the stop marker of AioShutdown
    else if (aio == static_cast<void*>(&g_withdrawn))
      g_withdrawnPending.fetch_sub(1, std::memory_order_relaxed);
    else
      Publish(aio, res, now);
    if (stopSeen && g_withdrawnPending.load(std::memory_order_relaxed) == 0) return nullptr;
  }
}

bool UringInit(AIO* ring, int count, HANDLE stream) {
  int rc = io_uring_queue_init(unsigned(count < 2 ? 2 : count + 1), &g_ring, 0);
  if (rc < 0) {
    errno = -rc;
    return false;
  }
  iovec iov[kMaxSlots];
  for (int s = 0; s < count; s++) {
    iov[s].iov_base = ring[s].buf;
    iov[s].iov_len = ring[s].nbytes > 0 ? ring[s].nbytes : 4096;
  }
  // Fails with ENOMEM under the memory-lock limit of an ordinary user; plain
  // reads and writes then serve just as well.
  g_fixedBuffers = io_uring_register_buffers(&g_ring, iov, unsigned(count)) == 0;
  for (int s = 0; s < count; s++) ring[s].streamFd = stream;
  return true;
}

// Passes every request queued so far to the kernel. A submission that fails
// for the moment (interrupted, short of resources, or the completion queue
// full until the completion thread catches up) is retried a little later;
// false with errno set when requests are still waiting after that.
bool UringSubmitAll() {
  int err = EAGAIN;
  for (int attempt = 0; io_uring_sq_ready(&g_ring) > 0 && attempt < kSubmitAttempts; attempt++) {
    int rc = io_uring_submit(&g_ring);
    if (rc > 0) continue;
    err = rc < 0 ? -rc : EAGAIN;
    if (err != EINTR && err != EAGAIN && err != EBUSY) break;
    timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  if (io_uring_sq_ready(&g_ring) == 0) return true;
  errno = err;
  return false;
}

BOOL UringQueue(AIO* aio, bool write) {
  io_uring_sqe* sqe = io_uring_get_sqe(&g_ring);
  if (sqe == nullptr) {
    errno = EAGAIN;
    return FALSE;
  }
  unsigned n = unsigned(aio->nbytes);
  if (g_fixedBuffers) {
    if (write)
      io_uring_prep_write_fixed(sqe, aio->fd, aio->buf, n, uint64_t(aio->offset), aio->index);
    else
      io_uring_prep_read_fixed(sqe, aio->fd, aio->buf, n, uint64_t(aio->offset), aio->index);
  } else if (write) {
    io_uring_prep_write(sqe, aio->fd, aio->buf, n, uint64_t(aio->offset));
  } else {
    io_uring_prep_read(sqe, aio->fd, aio->buf, n, uint64_t(aio->offset));
  }
  io_uring_sqe_set_data(sqe, aio);
  aio->state.store(kAioInFlight, std::memory_order_release);
  if (!UringSubmitAll()) {
    // The request already sits in the ring, where the next submission would
    // send it, after the engine has freed its buffer and closed its file.
    // The kernel has not read it yet: it becomes a no-op whose completion
    // is ignored, and the slot is idle again.
    int err = errno;
    io_uring_prep_nop(sqe);
    io_uring_sqe_set_data(sqe, &g_withdrawn);
    g_withdrawnPending.fetch_add(1, std::memory_order_relaxed);
    aio->state.store(kAioIdle, std::memory_order_relaxed);
    errno = err;
    return FALSE;
  }
  return TRUE;
}

// Ends the completion thread with a marker. Nothing is in flight now, so
// there is room for it; should it not get through, the thread sees the stop
// flag.
void UringStopCompleter() {
  g_completerStop.store(true, std::memory_order_release);
  if (io_uring_sqe* sqe = io_uring_get_sqe(&g_ring)) {
    io_uring_prep_nop(sqe);
    io_uring_sqe_set_data(sqe, nullptr);
  }
  UringSubmitAll();
}

void UringExit() { io_uring_queue_exit(&g_ring); }

#else  // no liburing: never chosen

void* UringCompleter(void*) { return nullptr; }
bool UringInit(AIO*, int, HANDLE) {
  errno = ENOSYS;
  return false;
}
BOOL UringQueue(AIO*, bool) {
  errno = ENOSYS;
  return FALSE;
}
void UringStopCompleter() {}
void UringExit() {}

#endif

// ---- POSIX AIO

// The fallback's helper pool: sized for the largest ring, started now, from
// this thread, by queueing one read on each of `want` pipes: each read blocks
// until its pipe gets a byte, so glibc gives every one a helper of its own.
// Creating the helpers before the clock starts keeps thread creation off the
// timed path. Returns how many helpers exist while all reads are pending.
int CountThreads() {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  int n = 0;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, "Threads:", 8) == 0) n = atoi(line + 8);
  fclose(f);
  return n;
}

int StartHelperPool(int want) {
  static aiocb ops[kMaxSlots];
  static char bytes[kMaxSlots];
  int pipes[kMaxSlots][2];
  int before = CountThreads();
  int started = 0;
  for (; started < want; started++) {
    if (pipe(pipes[started]) != 0) break;
    aiocb* op = &ops[started];
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
  int created = CountThreads() - before;
  for (int i = 0; i < started; i++) (void)!write(pipes[i][1], "", 1);
  for (int i = 0; i < started; i++) {
    const aiocb* one[1] = {&ops[i]};
    while (aio_error(&ops[i]) == EINPROGRESS) aio_suspend(one, 1, nullptr);
    aio_return(&ops[i]);
    close(pipes[i][0]);
    close(pipes[i][1]);
  }
  return created;
}

void* PosixCompleter(void*) {
  AIO* pending[kMaxSlots];
  int numPending = 0;
  bool stopping = false;
  for (;;) {
    uint32_t tail = g_queuedTail.load(std::memory_order_acquire);
    while (g_queuedHead != tail) {
      AIO* aio = g_queued[g_queuedHead++ % kMaxSlots];
      if (aio == nullptr)
        stopping = true;  // the stop marker of AioShutdown
      else
        pending[numPending++] = aio;
    }
    if (numPending == 0) {
      if (stopping) return nullptr;
      g_queuedTail.wait(tail, std::memory_order_acquire);
      continue;
    }
    const aiocb* list[kMaxSlots];
    for (int i = 0; i < numPending; i++) list[i] = &pending[i]->cb;
    timespec timeout = {0, 1000000};
    aio_suspend(list, numPending, &timeout);
    int64_t now;
    QueryPerfCount(&now);
    int kept = 0;
    for (int i = 0; i < numPending; i++) {
      AIO* aio = pending[i];
      int status = aio_error(&aio->cb);
      if (status == EINPROGRESS) {
        pending[kept++] = aio;
        continue;
      }
      ssize_t n = aio_return(&aio->cb);
      Publish(aio, n >= 0 ? n : -(status > 0 ? status : errno), now);
    }
    numPending = kept;
  }
}

bool PosixInit(AIO* ring, int count, HANDLE stream) {
  static std::once_flag once;
  std::call_once(once, [] {
    aioinit init;
    memset(&init, 0, sizeof init);
    init.aio_threads = kMaxSlots;
    init.aio_num = kMaxSlots;
#if ORDAVI_THREAD_SANITIZER
    // The thread sanitizer cannot follow a thread that a helper starts (it
    // crashes in the new thread's first allocation). Helpers that leave as
    // soon as they run out of work are all started by a thread it knows.
    init.aio_idle_time = -1;
#else
    // Helpers normally leave after a second without work; a paced run at one
    // frame per second would then start a thread inside a timed frame.
    init.aio_idle_time = 24 * 3600;
#endif
    aio_init(&init);  // takes effect only before the first request
  });
#if ORDAVI_THREAD_SANITIZER
  // Helpers leave as soon as they are idle: count afresh.
  g_helperThreads = StartHelperPool(count);
#else
  // Helpers that already exist are idle and serve the pool's reads; only
  // the missing ones are created, and counted, here.
  static int s_helpers = 0;
  if (s_helpers < count) s_helpers += StartHelperPool(count);
  g_helperThreads = s_helpers < count ? s_helpers : count;
#endif
  for (int s = 0; s < count; s++) {
    ring[s].streamFd = -1;
    if (stream == -1) continue;
    ring[s].streamFd = dup(stream);
    if (ring[s].streamFd == -1) {
      int err = errno;
      for (int t = 0; t < s; t++) {
        close(ring[t].streamFd);
        ring[t].streamFd = -1;
      }
      errno = err;
      return false;
    }
  }
  return true;
}

// Hands a queued request (or, null, the stop marker) to the completion thread.
void PassToCompleter(AIO* aio) {
  uint32_t tail = g_queuedTail.load(std::memory_order_relaxed);
  g_queued[tail % kMaxSlots] = aio;
  g_queuedTail.store(tail + 1, std::memory_order_release);
  g_queuedTail.notify_one();
}

BOOL PosixQueue(AIO* aio, bool write) {
  aiocb* cb = &aio->cb;
  memset(cb, 0, sizeof *cb);
  cb->aio_fildes = aio->fd;
  cb->aio_buf = aio->buf;
  cb->aio_nbytes = aio->nbytes;
  cb->aio_offset = off_t(aio->offset);
  cb->aio_sigevent.sigev_notify = SIGEV_NONE;
  aio->state.store(kAioInFlight, std::memory_order_release);
  if ((write ? aio_write(cb) : aio_read(cb)) != 0) {
    aio->state.store(kAioIdle, std::memory_order_relaxed);
    return FALSE;
  }
  PassToCompleter(aio);
  return TRUE;
}

}  // namespace

BOOL AioSetup(AIO* aio, AIO_WAIT* aiow, int offset, int size) {
  aio->fd = -1;
  aio->offset = offset;
  aio->nbytes = size > 0 ? size_t(size) : 0;
  aio->state.store(kAioIdle);
  // Uncached I/O needs page-aligned buffers. An empty frame still gets one
  // page, so that a zero-byte transfer is queued with a real buffer.
  size_t pageSize = size_t(sysconf(_SC_PAGESIZE));
  size_t allocSize = size > 0 ? size_t(size) : pageSize;
  aio->buf = AllocFrameBuffer(allocSize);
  if (aio->buf == nullptr) {
    errno = ENOMEM;
    return FALSE;
  }
  memset(aio->buf, 0x61, allocSize);  // an asynchronous write test writes 'a'
  if (aiow != nullptr) *aiow = aio;
  return TRUE;
}

BOOL AioInit(AIO* ring, int count, HANDLE stream) {
  if (count > kMaxSlots) count = kMaxSlots;
  for (int s = 0; s < count; s++) ring[s].index = s;
  g_slots = ring;
  g_numSlots = count;
  g_fixedBuffers = false;
  g_helperThreads = count;
  g_queuedHead = g_queuedTail.load();
  g_path = (!g_aioForcePosix && UringInit(ring, count, stream)) ? Path::kUring : Path::kPosix;
  // The completion thread first: on the fallback, a limit on threads then
  // shows as fewer helpers (a warning), not as a failed set-up.
  int rc = pthread_create(&g_completer, &g_pthreadAttr,
                          g_path == Path::kUring ? UringCompleter : PosixCompleter, nullptr);
  if (rc != 0) {
    if (g_path == Path::kUring) UringExit();
    g_path = Path::kNone;
    errno = rc;
    return FALSE;
  }
  g_completerRunning = true;
  if (g_path == Path::kPosix && !PosixInit(ring, count, stream)) {
    int err = errno;
    AioShutdown();
    errno = err;
    return FALSE;
  }
  return TRUE;
}

const char* AioPathName() {
  if (g_path == Path::kUring) return g_fixedBuffers ? "io_uring, registered buffers" : "io_uring";
  return "POSIX AIO";
}

int AioHelperThreads() { return g_helperThreads; }

BOOL AioRead(AIO* aio) {
  return g_path == Path::kUring ? UringQueue(aio, false) : PosixQueue(aio, false);
}

BOOL AioWrite(AIO* aio) {
  return g_path == Path::kUring ? UringQueue(aio, true) : PosixQueue(aio, true);
}

int WaitForAio(AIO_WAIT* aiow, int count) {
  bool any = false;
  for (int i = 0; i < count; i++)
    any = any || (aiow[i] != nullptr && aiow[i]->state.load(std::memory_order_relaxed) != kAioIdle);
  if (!any) {
    errno = EINVAL;  // nothing to wait for: never sleep forever on it
    return -1;
  }
  for (;;) {
    uint32_t seen = g_completions.load(std::memory_order_acquire);
    for (int i = 0; i < count; i++) {
      if (aiow[i] == nullptr || aiow[i]->state.load(std::memory_order_acquire) != kAioDone)
        continue;
      if (aiow[i]->result >= 0) return i;
      errno = int(-aiow[i]->result);  // the transfer's own failure
      return -1;
    }
    g_completions.wait(seen, std::memory_order_acquire);
  }
}

ssize_t AioReturn(AIO* aio, int64_t* doneAt) {
  if (aio->state.load(std::memory_order_acquire) != kAioDone) {
    errno = EINVAL;
    return -1;
  }
  aio->state.store(kAioIdle, std::memory_order_relaxed);
  if (doneAt) *doneAt = aio->doneAt;
  if (aio->result < 0) {
    errno = int(-aio->result);
    return -1;
  }
  return aio->result;
}

void AioCleanup(AIO* aio) {
  FreeFrameBuffer(aio->buf);
  aio->buf = nullptr;  // a second clean-up of the same block is harmless
}

void AioShutdown() {
  if (g_path == Path::kNone) return;
  // Nothing the system still transfers into may be released.
  for (int s = 0; s < g_numSlots; s++) {
    AIO_WAIT one[1] = {&g_slots[s]};
    while (g_slots[s].state.load(std::memory_order_acquire) == kAioInFlight) WaitForAio(one, 1);
  }
  if (g_path == Path::kUring) {
    if (g_completerRunning) {
      UringStopCompleter();
      pthread_join(g_completer, nullptr);
      g_completerStop.store(false, std::memory_order_relaxed);
      g_withdrawnPending.store(0, std::memory_order_relaxed);
    }
    UringExit();
  } else {
    if (g_completerRunning) {
      PassToCompleter(nullptr);
      pthread_join(g_completer, nullptr);
    }
    for (int s = 0; s < g_numSlots; s++) {
      if (g_slots[s].streamFd != -1) close(g_slots[s].streamFd);
      g_slots[s].streamFd = -1;
    }
  }
  g_completerRunning = false;
  g_path = Path::kNone;
  g_slots = nullptr;
  g_numSlots = 0;
}
