// Test-only seccomp filters, installed before main.
//
// With ORDAVI_E2E_NO_URING set, this test program forbids io_uring_setup to
// itself and to every ordavi it starts (a seccomp filter is inherited across
// fork and exec), as a container's profile may: the asynchronous engines must
// then fall back to POSIX AIO.
//
// With ORDAVI_E2E_FAIL_SUBMIT="first,count,errno" the program is a wrapper
// instead: it runs its arguments as a command under a filter that hands
// every io_uring_enter that submits requests to this process, which fails
// the calls numbered first to first + count - 1 with errno and lets every
// other one through. It exits as the command did.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "harness.h"

namespace {

bool InstallFilter(sock_filter* filter, unsigned short length, unsigned flags, int* listener) {
  sock_fprog prog = {length, filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  long rc = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &prog);
  if (listener) *listener = int(rc);
  return rc >= 0;
}

bool ForbidIoUring() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  return InstallFilter(filter, 4, 0, nullptr);
}

const bool g_forced = [] {
  if (getenv("ORDAVI_E2E_NO_URING") == nullptr) return false;
  if (!ForbidIoUring()) {
    perror("seccomp");
    exit(1);
  }
  return true;
}();

[[noreturn]] void FailSubmits(const char* plan, char** command) {
  long first = 0, count = 0, err = 0;
  if (sscanf(plan, "%ld,%ld,%ld", &first, &count, &err) != 3 || !command[0]) _exit(125);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_enter, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),  // to_submit
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  int listener = -1;
  if (!InstallFilter(filter, 6, SECCOMP_FILTER_FLAG_NEW_LISTENER, &listener)) _exit(125);
  pid_t child = fork();
  if (child == 0) {
    close(listener);
    execv(command[0], command);
    _exit(127);
  }
  int exited = int(syscall(SYS_pidfd_open, child, 0));
  pollfd fds[2] = {{listener, POLLIN, 0}, {exited, POLLIN, 0}};
  for (long call = 1; poll(fds, 2, -1) >= 0 || errno == EINTR;) {
    if (fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    seccomp_notif req = {};
    seccomp_notif_resp resp = {};
    if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0) continue;
    resp.id = req.id;
    if (call >= first && call < first + count)
      resp.error = int(-err);
    else
      resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    call++;
    ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
  }
  int status = 0;
  waitpid(child, &status, 0);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Runs before main, with the program's arguments.
__attribute__((constructor)) void MaybeWrap(int argc, char** argv) {
  if (const char* plan = getenv("ORDAVI_E2E_FAIL_SUBMIT"); plan && argc > 1)
    FailSubmits(plan, argv + 1);
}

}  // namespace

bool IoUringForbidden() { return g_forced || !ORDAVI_HAVE_LIBURING; }

std::string FailingSubmits(int first, int count, int err) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = '\0';
  return "ORDAVI_E2E_FAIL_SUBMIT=" + std::to_string(first) + "," + std::to_string(count) + "," +
         std::to_string(err) + " exec " + self + " ";
}
