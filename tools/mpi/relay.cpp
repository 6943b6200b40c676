// Standard error of a rank: mpirun mixes every rank's lines, so each line
// goes through a pipe to a thread that writes it whole, prefixed with
// "ordavi-mpi rank R: ", to the real standard error.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "rank_layer.h"

namespace {

int g_realStderr = -1;
int g_relayRead = -1;
pthread_t g_relayThread;
bool g_relayStarted = false;

void WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += size_t(n);
  }
}

void* RelayProc(void*) {
  char prefix[48];
  snprintf(prefix, sizeof prefix, "ordavi-mpi rank %d: ", g_rank);
  std::string pending;
  char buf[4096];
  for (;;) {
    ssize_t n = read(g_relayRead, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, size_t(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      WriteAll(g_realStderr, prefix + pending.substr(0, nl + 1));
      pending.erase(0, nl + 1);
    }
  }
  if (!pending.empty()) WriteAll(g_realStderr, prefix + pending + "\n");
  close(g_relayRead);
  return nullptr;
}

}  // namespace

void StartRelay() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  g_realStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (g_realStderr < 0 || dup2(fds[1], STDERR_FILENO) < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  close(fds[1]);
  g_relayRead = fds[0];
  if (pthread_create(&g_relayThread, nullptr, RelayProc, nullptr) != 0) {
    dup2(g_realStderr, STDERR_FILENO);
    close(g_relayRead);
    return;
  }
  g_relayStarted = true;
}

// The relay sees the end of its pipe once stderr is put back, writes what it
// still holds and ends.
void StopRelay() {
  if (!g_relayStarted) return;
  g_relayStarted = false;
  fflush(stderr);
  dup2(g_realStderr, STDERR_FILENO);
  pthread_join(g_relayThread, nullptr);
}
