// The asynchronous I/O primitives on real descriptors, on io_uring and on
// the POSIX AIO fallback.
#include <fcntl.h>

#include <fstream>

#include "test_support.h"

namespace {

class AioTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    g_aioForcePosix = GetParam();
    path_ = ::testing::TempDir() + "aio_test_" + std::to_string(getpid()) + ".bin";
    std::ofstream(path_) << std::string(8192, 'x');
    for (int i = 0; i < 2; i++) ASSERT_TRUE(AioSetup(&aio_[i], &list_[i], 0, 4096));
  }
  void TearDown() override {
    AioShutdown();
    for (auto& a : aio_) AioCleanup(&a);
    g_aioForcePosix = false;
    unlink(path_.c_str());
  }
  // Waits (without collecting) until the slots' transfers are done.
  static void AwaitDone(std::initializer_list<const AIO*> slots) {
    for (const AIO* a : slots)
      while (a->state.load() != kAioDone) usleep(1000);
  }

  std::string path_;
  AIO aio_[2];
  AIO_WAIT list_[2];
};

// WaitForAio reports the lowest finished entry, and its failure, even when
// a later one succeeded; with nothing in flight it fails instead of hanging.
TEST_P(AioTest, LowestFinishedEntryFailedReportsItsErrorDespiteLaterSuccess) {
  ASSERT_TRUE(AioInit(aio_, 2, -1));
  EXPECT_EQ(std::string(AioPathName()).find(GetParam() ? "POSIX" : "io_uring"), 0u);
  aio_[0].fd = open(path_.c_str(), O_WRONLY);  // a read here fails with EBADF
  aio_[1].fd = open(path_.c_str(), O_RDONLY);
  ASSERT_TRUE(AioRead(&aio_[0]) && AioRead(&aio_[1]));
  AwaitDone({&aio_[0], &aio_[1]});
  const auto result = [](int64_t r) { return std::make_pair(r, r < 0 ? errno : 0); };
  EXPECT_EQ(result(WaitForAio(list_, 2)), std::make_pair(-1L, EBADF));
  EXPECT_EQ(WaitForAio(&list_[1], 1), 0);
  int64_t doneAt = 0;
  EXPECT_EQ(AioReturn(&aio_[1], &doneAt), 4096);
  EXPECT_EQ(result(AioReturn(&aio_[0], &doneAt)), std::make_pair(-1L, EBADF));
  EXPECT_EQ(result(WaitForAio(list_, 2)), std::make_pair(-1L, EINVAL));
  for (auto& a : aio_) close(a.fd);
}

// A transfer's end is stamped when it completes (between the write that
// completes the pipe read and the slot seen done), not when collected.
TEST_P(AioTest, TheEndIsStampedWhenTheTransferCompletesNotWhenCollected) {
  ASSERT_TRUE(AioInit(aio_, 2, -1));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  aio_[0].fd = fds[0];
  ASSERT_TRUE(AioRead(&aio_[0]));
  int64_t written, seenDone, doneAt = 0;
  QueryPerfCount(&written);
  ASSERT_EQ(write(fds[1], "frame", 5), 5);
  AwaitDone({&aio_[0]});
  QueryPerfCount(&seenDone);
  for (int64_t t = seenDone; t <= seenDone;) QueryPerfCount(&t);  // a tick before collecting
  ASSERT_EQ(WaitForAio(list_, 1), 0);
  EXPECT_EQ(AioReturn(&aio_[0], &doneAt), 5);
  EXPECT_TRUE(written <= doneAt && doneAt <= seenDone) << "stamped at collection";
  for (int fd : fds) close(fd);
}

// A stream's slots share its descriptor on io_uring and have their own
// duplicates (closed with the ring) on the fallback; both read their slices.
TEST_P(AioTest, StreamSlotsGetTheirOwnDescriptorOnlyOnTheFallback) {
  int stream = open(path_.c_str(), O_RDONLY);
  ASSERT_TRUE(AioInit(aio_, 2, stream));
  EXPECT_EQ(aio_[0].streamFd == stream, !GetParam());
  EXPECT_EQ(aio_[1].streamFd == aio_[0].streamFd, !GetParam());
  for (int i = 0; i < 2; i++) {
    aio_[i].fd = aio_[i].streamFd;
    aio_[i].offset = 4096 * i;
    ASSERT_TRUE(AioRead(&aio_[i]));
  }
  for (int i : {1, 0}) {
    ASSERT_EQ(WaitForAio(&list_[i], 1), 0);
    EXPECT_EQ(AioReturn(&aio_[i], nullptr), 4096);
    EXPECT_EQ(static_cast<char*>(aio_[i].buf)[0], 'x');
  }
  HANDLE own = aio_[0].streamFd;
  AioShutdown();
  EXPECT_EQ(fcntl(own, F_GETFD) == -1, GetParam());
  close(stream);
}

#if ORDAVI_HAVE_LIBURING
#define ORDAVI_AIO_PATHS testing::Values(false, true)
#else
#define ORDAVI_AIO_PATHS testing::Values(true)  // POSIX AIO only
#endif
INSTANTIATE_TEST_SUITE_P(Paths, AioTest, ORDAVI_AIO_PATHS,
                         [](const auto& info) { return info.param ? "Posix" : "Uring"; });

}  // namespace
