// The asynchronous I/O primitives on real descriptors, on both paths
// (io_uring and the POSIX AIO fallback): which entry WaitForAio reports when
// transfers finish or fail, that a transfer's end is stamped when it
// completes rather than when it is collected, and the per-slot descriptors
// of a stream. Pipes keep a transfer in flight for as long as a test needs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace {

class AioTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    g_aioForcePosix = GetParam();
    path_ = ::testing::TempDir() + "aio_test_" + std::to_string(getpid()) + ".bin";
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_NE(fd, -1);
    std::string data(8192, 'x');
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
    for (int i = 0; i < 2; i++) ASSERT_TRUE(AioSetup(&aio_[i], &list_[i], 0, 4096));
  }
  void TearDown() override {
    AioShutdown();
    for (auto& a : aio_) AioCleanup(&a);
    g_aioForcePosix = false;
    unlink(path_.c_str());
  }
  static int64_t Now() {
    int64_t t;
    QueryPerfCount(&t);
    return t;
  }

  std::string path_;
  AIO aio_[2];
  AIO_WAIT list_[2];
};

TEST_P(AioTest, LowestFinishedEntryFailedReportsItsErrorDespiteLaterSuccess) {
  ASSERT_TRUE(AioInit(aio_, 2, -1));
  EXPECT_EQ(std::string(AioPathName()).find(GetParam() ? "POSIX" : "io_uring"), 0u);
  aio_[0].fd = open(path_.c_str(), O_WRONLY);  // a read here fails with EBADF
  aio_[1].fd = open(path_.c_str(), O_RDONLY);
  ASSERT_TRUE(AioRead(&aio_[0]));
  ASSERT_TRUE(AioRead(&aio_[1]));
  while (aio_[1].state.load() != kAioDone || aio_[0].state.load() != kAioDone) usleep(1000);

  errno = 0;
  EXPECT_EQ(WaitForAio(list_, 2), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(WaitForAio(&list_[1], 1), 0);  // the later success is still there
  int64_t doneAt = 0;
  EXPECT_EQ(AioReturn(&aio_[1], &doneAt), 4096);
  EXPECT_GT(doneAt, 0);
  EXPECT_EQ(AioReturn(&aio_[0], &doneAt), -1);
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_EQ(WaitForAio(list_, 2), -1);  // nothing in flight: no hang
  EXPECT_EQ(errno, EINVAL);
  for (auto& a : aio_) close(a.fd);
}

TEST_P(AioTest, TheEndIsStampedWhenTheTransferCompletesNotWhenCollected) {
  ASSERT_TRUE(AioInit(aio_, 2, -1));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  aio_[0].fd = fds[0];
  ASSERT_TRUE(AioRead(&aio_[0]));
  usleep(50000);
  int64_t written = Now();
  ASSERT_EQ(write(fds[1], "frame", 5), 5);
  usleep(300000);  // the engine is busy elsewhere (a frame period, say)
  ASSERT_EQ(WaitForAio(list_, 1), 0);
  int64_t doneAt = 0;
  EXPECT_EQ(AioReturn(&aio_[0], &doneAt), 5);
  EXPECT_GE(doneAt, written);
  EXPECT_LT(doneAt - written, 100000) << "stamped at collection, not at completion";
  close(fds[0]);
  close(fds[1]);
}

TEST_P(AioTest, StreamSlotsGetTheirOwnDescriptorOnlyOnTheFallback) {
  int stream = open(path_.c_str(), O_RDONLY);
  ASSERT_TRUE(AioInit(aio_, 2, stream));
  if (GetParam()) {
    EXPECT_NE(aio_[0].streamFd, stream);
    EXPECT_NE(aio_[0].streamFd, aio_[1].streamFd);
  } else {
    EXPECT_EQ(aio_[0].streamFd, stream);
    EXPECT_EQ(aio_[1].streamFd, stream);
  }
  for (int i = 0; i < 2; i++) {
    aio_[i].fd = aio_[i].streamFd;
    aio_[i].offset = 4096 * i;
    ASSERT_TRUE(AioRead(&aio_[i]));
  }
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(WaitForAio(&list_[i], 1), 0);
    EXPECT_EQ(AioReturn(&aio_[i], nullptr), 4096);
    EXPECT_EQ(static_cast<char*>(aio_[i].buf)[0], 'x');
  }
  HANDLE own = aio_[0].streamFd;
  AioShutdown();
  if (GetParam()) {
    EXPECT_EQ(fcntl(own, F_GETFD), -1);  // closed with the ring
  }
  close(stream);
}

INSTANTIATE_TEST_SUITE_P(Paths, AioTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Posix" : "Uring"; });

}  // namespace
