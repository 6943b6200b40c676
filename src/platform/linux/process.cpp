// Process set-up: the break handler, the thread attributes, the priority of
// a paced run.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "../../params.h"
#include "../../stats.h"
#include "../platform.h"

pthread_attr_t g_pthreadAttr;

// Runs in whichever thread the signal lands on, so it does only what is safe
// there: it sets the lock-free stop flag and writes its line with write().
static void CtrlHandler(int) {
  g_terminate.store(1, std::memory_order_release);
  g_userBreaks.fetch_add(1, std::memory_order_release);
  static const char kLine[] = "User break, stopping\n";
  ssize_t n = write(STDOUT_FILENO, kLine, sizeof kLine - 1);
  (void)n;
}

void PlatformInit() {
  // Ctrl-C stops the run in an orderly way, and so do a scheduler's SIGTERM
  // and a closed terminal's SIGHUP: the frames measured so far are never
  // lost. Output whose reader went away (ordavi | head) must not kill the
  // run either: the write fails and the run goes on to its log file.
  struct sigaction sa = {};
  sa.sa_handler = CtrlHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

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

void ClearScreen() {}
