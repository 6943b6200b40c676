// Test-only: with ORDAVI_E2E_NO_URING set, this test program forbids
// io_uring_setup to itself and to every ordavi it starts (a seccomp filter
// is inherited across fork and exec), as a container's profile may: the
// asynchronous engines must then fall back to POSIX AIO.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "harness.h"

namespace {

bool ForbidIoUring() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

const bool g_forced = [] {
  if (getenv("ORDAVI_E2E_NO_URING") == nullptr) return false;
  if (!ForbidIoUring()) {
    perror("seccomp");
    exit(1);
  }
  return true;
}();

}  // namespace

bool IoUringForbidden() { return g_forced || !ORDAVI_HAVE_LIBURING; }
