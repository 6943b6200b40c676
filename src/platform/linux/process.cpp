// Process set-up: the break handler and the count of user breaks, the
// thread attributes, the priority of a paced run, the standard descriptors.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "../../params.h"
#include "../../stats.h"
#include "../platform.h"

pthread_attr_t g_pthreadAttr;
std::atomic<int> g_userBreaks{0};

// Runs in whichever thread the signal lands on, so it does only what is safe
// there: it sets the lock-free stop flag and writes its line with write().
// It keeps errno as it found it: the signal may land between a failed call
// and the report that reads its errno.
void CtrlHandler(int) {
  int savedErrno = errno;
  g_stopRequested.store(1, std::memory_order_release);
  g_terminate.store(1, std::memory_order_release);
  g_userBreaks.fetch_add(1, std::memory_order_release);
  static const char kLine[] = "User break, stopping\n";
  ssize_t n = write(STDOUT_FILENO, kLine, sizeof kLine - 1);
  (void)n;
  errno = savedErrno;
}

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void InstallBreakHandler(int flags) {
  struct sigaction sa = {};
  sa.sa_handler = CtrlHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  for (int sig : kStopSignals) sigaction(sig, &sa, nullptr);
}

}  // namespace

void PlatformInit() {
  // Ctrl-C stops the run in an orderly way, and so do a scheduler's SIGTERM
  // and a closed terminal's SIGHUP: the frames measured so far are never
  // lost. An interrupted call is not restarted: a stop that lands in a call
  // that could wait for ever (an open that waits for a peer) ends it, and the
  // run stops in order.
  InstallBreakHandler(0);
  // Output whose reader went away (ordavi | head) must not kill the run
  // either: the write fails, the run goes on to its log file and reports
  // the lost output at its end.
  signal(SIGPIPE, SIG_IGN);
  // A write beyond the file-size limit (ulimit -f) fails with EFBIG and is
  // reported like any other failed write, instead of killing the process
  // without its summary.
  signal(SIGXFSZ, SIG_IGN);

  pthread_attr_init(&g_pthreadAttr);
  pthread_attr_setinheritsched(&g_pthreadAttr, PTHREAD_INHERIT_SCHED);

  if (g_frameRate != 0) {
    // The whole process group whose id is ours, at the highest priority. A
    // process started inside a pipeline or by a script is no group leader:
    // then raise this process alone. Every thread is created after this and
    // inherits the nice value of its creator.
    errno = 0;
    setpriority(PRIO_PGRP, id_t(getpid()), -20);
    if (errno == ESRCH) {
      errno = 0;
      setpriority(PRIO_PROCESS, 0, -20);
    }
    if (errno != 0)
      perror("WARNING: Could not set process to realtime, framerate control may be inaccurate");
  }
}

void RestartInterruptedCalls() { InstallBreakHandler(SA_RESTART); }

void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

BOOL OpenStandardDescriptors() {
  // open() returns the lowest free descriptor, so each /dev/null opened here
  // takes exactly the place of a closed standard descriptor.
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", O_RDWR);
    if (opened == -1) return FALSE;
    if (opened != fd) {
      close(opened);
      return FALSE;
    }
  }
  return TRUE;
}
