#include "exit.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

ExitHook g_exitHook = nullptr;

namespace {
// errno of the first failed write to stdout, 0 while none failed.
std::atomic<int> g_stdoutErrno{0};
}  // namespace

void NoteStdoutFailure(int err) {
  int none = 0;
  g_stdoutErrno.compare_exchange_strong(none, err != 0 ? err : EIO);
}

int ReportLostOutput() {
  // Lines written by other parts of the program (the banner, the engine's
  // first line) leave their failure in the stream's error flag.
  if (fflush(stdout) != 0 || ferror(stdout)) NoteStdoutFailure(errno);
  int err = g_stdoutErrno.load();
  if (err == 0) return 0;
  fprintf(stderr, "Could not write the results to standard output: %s\n", strerror(err));
  return 1;
}

// Usage and Fatal end the process at once, from whichever thread failed:
// nothing is cleaned up and no other thread is waited for, so the process
// leaves without running exit handlers or destructors under running threads.
// Its output is unbuffered.
void OrdaviExit(int status) {
  if (g_exitHook) g_exitHook(status);
  fflush(nullptr);
  _exit(status);
}
