// The asynchronous I/O primitives on real descriptors: control-block set-up,
// and which entry WaitForAio reports when operations finish, fail or are
// still running. Pipes keep an operation in flight for as long as a test
// needs: glibc serves a read on a pipe with a plain read that blocks until
// data arrives.
#include <aio.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

// Polls the operation until it is no longer in progress, without going
// through WaitForAio (which is what is under test).
void Finish(AIO* aio) {
  while (aio_error(aio) == EINPROGRESS) {
    const aiocb* list[1] = {aio};
    aio_suspend(list, 1, nullptr);
  }
}

class AioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AioInit();
    path_ = ::testing::TempDir() + "aio_test_" + std::to_string(getpid()) + ".bin";
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_NE(fd, -1);
    std::string data(8192, 'x');
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
  }
  void TearDown() override { unlink(path_.c_str()); }

  std::string path_;
};

TEST_F(AioTest, LowestFinishedEntryFailedReportsItsErrorDespiteLaterSuccess) {
  AIO aio[2];
  AIO_WAIT list[2];
  for (int i = 0; i < 2; i++) AioSetup(&aio[i], &list[i], 0, 4096);
  // Entry 0: a read on a descriptor opened write-only fails with EBADF.
  aio[0].aio_fildes = open(path_.c_str(), O_WRONLY);
  // Entry 1: an ordinary read that succeeds.
  aio[1].aio_fildes = open(path_.c_str(), O_RDONLY);
  ASSERT_NE(aio[0].aio_fildes, -1);
  ASSERT_NE(aio[1].aio_fildes, -1);
  ASSERT_EQ(aio_read(&aio[0]), 0);
  ASSERT_EQ(aio_read(&aio[1]), 0);
  Finish(&aio[0]);
  Finish(&aio[1]);
  ASSERT_EQ(aio_error(&aio[1]), 0);

  errno = 0;
  EXPECT_EQ(WaitForAio(list, 2), -1);
  EXPECT_EQ(errno, EBADF);
  // The later success is still there for a later call.
  EXPECT_EQ(WaitForAio(&list[1], 1), 0);
  EXPECT_EQ(aio_return(&aio[1]), 4096);
  EXPECT_EQ(aio_return(&aio[0]), -1);

  for (int i = 0; i < 2; i++) {
    close(aio[i].aio_fildes);
    AioCleanup(&aio[i]);
  }
}

std::atomic<int> g_signalsSeen{0};
void CountSignal(int) { g_signalsSeen.fetch_add(1); }

TEST_F(AioTest, ASignalDoesNotEndTheWaitWhileTheOperationRuns) {
  // The user's break interrupts the suspension; the operation is still
  // running, so the wait must go on instead of reporting a failure.
  struct sigaction sa, old;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = CountSignal;  // no SA_RESTART: the suspension sees EINTR
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  g_signalsSeen = 0;

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  AIO aio;
  AIO_WAIT list[1];
  AioSetup(&aio, &list[0], 0, 4096);
  aio.aio_fildes = fds[0];
  ASSERT_EQ(aio_read(&aio), 0);

  pthread_t waiter = pthread_self();
  std::thread helper([&] {
    usleep(100000);
    pthread_kill(waiter, SIGUSR1);
    usleep(200000);
    (void)!write(fds[1], "frame", 5);
  });
  EXPECT_EQ(WaitForAio(list, 1), 0);
  helper.join();
  EXPECT_EQ(g_signalsSeen.load(), 1);
  EXPECT_EQ(aio_return(&aio), 5);

  sigaction(SIGUSR1, &old, nullptr);
  close(fds[0]);
  close(fds[1]);
  AioCleanup(&aio);
}

TEST_F(AioTest, AnEmptyListIsAFailureNotAHang) {
  AIO_WAIT list[2] = {nullptr, nullptr};
  errno = 0;
  EXPECT_EQ(WaitForAio(list, 2), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(WaitForAio(list, 0), -1);
}

}  // namespace
