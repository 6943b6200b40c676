// The frame queue: a named POSIX semaphore with a maximum.
//
// The system semaphore does the blocking and waking; sem_count beside it is
// the program's own count, used to refuse a release beyond the maximum and to
// report how full the queue is. One thread only releases and one only waits,
// so the count is an atomic that both update; a release may see a count that
// the other side is about to lower, which at worst refuses one release that a
// moment later would have succeeded - the callers treat that as a full queue.
#include <fcntl.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "../../messages.h"
#include "../../stats.h"
#include "../platform.h"

PSEMA g_frameSema = nullptr;

// The one named semaphore of the process: "ordavi_<pid>" and a newline.
static char sem_name[1024];

PSEMA CreateSema(int initCount, int maxCount) {
  PSEMA psem = new (std::nothrow) SEMA;
  Verbose("  Creating a sema with initCount = %d, maxCount = %d\n", initCount, maxCount);
  if (!psem) return nullptr;
  snprintf(sem_name, sizeof sem_name, "ordavi_%d\n", int(getpid()));
  psem->sem = sem_open(sem_name, O_CREAT | O_EXCL, 0666, unsigned(initCount));
  if (psem->sem == SEM_FAILED) {
    perror("sem_open");
    sem_name[0] = '\0';  // not ours: another process may own that name
    delete psem;
    OrdaviExit(1);
  }
  psem->sem_max = maxCount;
  psem->sem_count.store(initCount);
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

// A blocking wait gives up once the run is stopping: the other side may have
// ended without releasing another frame, and the waiter must not hang on a
// queue that will never fill again. It looks at the stop flag every 100 ms
// (the deadline is only a polling period, so the wall clock is good enough).
static int WaitUnlessStopping(sem_t* sem) {
  for (;;) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 100000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec++;
      deadline.tv_nsec -= 1000000000;
    }
    int rc = sem_timedwait(sem, &deadline);
    if (rc == 0 || errno != ETIMEDOUT) return rc;
    if (g_terminate.load(std::memory_order_acquire)) {
      errno = EINTR;
      return -1;
    }
  }
}

BOOL WaitForSema(PSEMA psem, BOOL wait) {
  int rc = wait ? WaitUnlessStopping(psem->sem) : sem_trywait(psem->sem);
  if (rc != 0) return FALSE;
  psem->sem_count.fetch_sub(1, std::memory_order_acq_rel);
  return TRUE;
}

BOOL CloseSema(PSEMA psem) {
  if (!psem) return FALSE;
  sem_close(psem->sem);
  RemoveSemaName();
  delete psem;
  return TRUE;
}

void RemoveSemaName() {
  if (sem_name[0] == '\0') return;
  sem_unlink(sem_name);
  sem_name[0] = '\0';
}
