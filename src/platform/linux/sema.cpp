// The frame queue: a named POSIX semaphore with a maximum.
//
// The system semaphore does the blocking and waking; sem_count beside it is
// the program's own count, used to refuse a release beyond the maximum and to
// report how full the queue is. One thread only releases and one only waits,
// so the count is an atomic that both update; a release may see a count that
// the other side is about to lower, which at worst refuses one release that a
// moment later would have succeeded - the callers treat that as a full queue.
//
// NAME. The semaphore's name is removed right after it is created: the open
// semaphore stays usable, and no name can outlive the run however the run
// ends (a SIGKILL included). A name left behind by an older program that was
// killed, with the same process id, belongs to no living process (the name
// holds the pid), so it is removed and the creation tried again.
//
// WAITING. Nothing here spins. A release into a full queue sleeps on the
// count (a futex) until the other side takes a frame; a blocking wait sleeps
// in the system semaphore. Both look at the stop flag every 100 ms, since
// the break handler cannot wake them.
#include <fcntl.h>
#include <linux/futex.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "../../messages.h"
#include "../../stats.h"
#include "../platform.h"

PSEMA g_frameSema = nullptr;

namespace {

constexpr long kStopPollNs = 100000000;  // how often a blocked wait looks at the stop flag

SEMA g_sema;  // the one frame queue of the process

void FutexWait(std::atomic<int>* word, int expected, long ns) {
  timespec timeout = {0, ns};
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr,
          0);
}

void FutexWakeAll(std::atomic<int>* word) {
  syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
          0);
}

bool Stopping() { return g_terminate.load(std::memory_order_acquire) != 0; }

}  // namespace

PSEMA CreateSema(int initCount, int maxCount) {
  Verbose("  Creating a sema with initCount = %d, maxCount = %d\n", initCount, maxCount);
  char name[64];
  snprintf(name, sizeof name, "ordavi_%d\n", int(getpid()));
  sem_t* sem = sem_open(name, O_CREAT | O_EXCL, 0666, unsigned(initCount));
  if (sem == SEM_FAILED && errno == EEXIST) {
    sem_unlink(name);  // stale: left by a killed process that had our pid
    sem = sem_open(name, O_CREAT | O_EXCL, 0666, unsigned(initCount));
  }
  if (sem == SEM_FAILED) {
    perror("sem_open");
    return nullptr;
  }
  sem_unlink(name);
  PSEMA psem = &g_sema;
  psem->sem = sem;
  psem->sem_max = maxCount;
  psem->sem_count.store(initCount);
  psem->releaseWaiters.store(0);
  psem->producerDone.store(false);
  return psem;
}

BOOL ReleaseSema(PSEMA psem, int* pPrevCount) {
  int count = psem->sem_count.load(std::memory_order_acquire);
  if (pPrevCount) *pPrevCount = count;
  if (count >= psem->sem_max) return FALSE;
  if (sem_post(psem->sem) != 0) return FALSE;
  psem->sem_count.fetch_add(1, std::memory_order_acq_rel);
  return TRUE;
}

BOOL ReleaseSemaWhenRoom(PSEMA psem, int* pPrevCount) {
  if (ReleaseSema(psem, pPrevCount)) return TRUE;
  psem->releaseWaiters.fetch_add(1);
  BOOL released = FALSE;
  while (!Stopping()) {
    int count = psem->sem_count.load();
    if (count < psem->sem_max) {
      if ((released = ReleaseSema(psem, pPrevCount))) break;
      continue;
    }
    if (pPrevCount) *pPrevCount = count;
    FutexWait(&psem->sem_count, count, kStopPollNs);
  }
  psem->releaseWaiters.fetch_sub(1);
  return released;
}

// A blocking wait gives up only once the run is stopping *and* the other
// side has ended: until then it will still release the frame waited for.
static int WaitUnlessStopping(PSEMA psem) {
  for (;;) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += kStopPollNs;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec++;
      deadline.tv_nsec -= 1000000000;
    }
    bool lastTry = Stopping() && psem->producerDone.load(std::memory_order_acquire);
    int rc = lastTry ? sem_trywait(psem->sem) : sem_timedwait(psem->sem, &deadline);
    if (rc == 0) return 0;
    if (errno != ETIMEDOUT && errno != EINTR && errno != EAGAIN) return rc;
    if (lastTry) {
      errno = EINTR;
      return -1;
    }
  }
}

BOOL WaitForSema(PSEMA psem, BOOL wait) {
  int rc = wait ? WaitUnlessStopping(psem) : sem_trywait(psem->sem);
  if (rc != 0) return FALSE;
  psem->sem_count.fetch_sub(1, std::memory_order_acq_rel);
  if (psem->releaseWaiters.load() > 0) FutexWakeAll(&psem->sem_count);
  return TRUE;
}

void SemaProducerDone(PSEMA psem) { psem->producerDone.store(true, std::memory_order_release); }

BOOL CloseSema(PSEMA psem) {
  if (!psem) return FALSE;
  sem_close(psem->sem);
  psem->sem = nullptr;
  return TRUE;
}
