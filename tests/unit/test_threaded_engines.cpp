// The multithreaded engines in-process on small buffered frames, over and
// over, so that the hand-over and the winding down meet many interleavings
// (under ThreadSanitizer, the race check of the worker pool).
#include <pthread.h>

#include <atomic>
#include <thread>

#include "engines/engines.h"
#include "test_support.h"

namespace {

constexpr int64_t kFrameBytes = 4096;
namespace fs = std::filesystem;

class ThreadedEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    QueryPerfFreq(&g_perfFreq);
    g_perfTime = 1.0 / double(g_perfFreq);
    pthread_attr_init(&g_pthreadAttr);
    pthread_attr_setinheritsched(&g_pthreadAttr, PTHREAD_INHERIT_SCHED);
  }
  void TearDown() override {
    delete[] g_frameStats;
    g_frameStats = nullptr;
    ResetParameters();
    ResetRunCounters();
    fs::remove_all(dir_);
  }

  // Runs the engine, set up as the driver would, in `sub` below the test's
  // directory; with `stopAfterUs` >= 0 another thread stops the run then, as
  // a user break. Meanwhile a reader checks the published records, as the
  // live screen would: none may be published before it is complete.
  int Run(bool write, int frames, int ops, bool stream, bool ooo, const char* sub,
          int stopAfterUs = -1) {
    ResetParameters();
    ResetRunCounters();
    g_numFrames = frames;
    g_numOps = std::min(ops, frames);
    g_testMode = kThreadedTest;
    g_streamMode = stream;
    g_isOutOfOrderIo = write && ooo;  // the read engine has no -o
    g_bufferedIo = TRUE;
    g_fileSize = write || stream ? kFrameBytes : 0;
    fs::create_directories(dir_ + sub);
    char path[kPathBufSize];
    snprintf(path, sizeof path, "%s%s/%s", dir_.c_str(), sub, stream ? "stream.bin" : "");
    char* namePart = path + strlen(path);
    if (write)
      UpdateParametersForWriteTest();
    else
      UpdateParametersForReadTest(path, namePart);
    delete[] g_frameStats;
    g_frameStats = new TIME_STATS[size_t(frames)]();

    std::atomic<bool> running{true};
    int early = 0;
    std::thread screen([&] {
      if (stopAfterUs >= 0) usleep(useconds_t(stopAfterUs)), g_terminate.store(1);
      for (int seen = 0; running.load(); usleep(10))
        for (int n = g_numFrameStats.load(std::memory_order_acquire); seen < n; seen++)
          early += g_frameStats[seen].EoClose == 0;
    });
    testing::internal::CaptureStdout();
    int n = write ? CreateOrdaviThreaded(path, namePart) : ReadOrdaviThreaded(path, namePart);
    testing::internal::GetCapturedStdout();
    running.store(false);
    screen.join();
    EXPECT_EQ(early, 0) << "records published before they were complete";
    int published = g_numFrameStats.load();
    for (int i = 0; i < published; i++) {
      const TIME_STATS& r = g_frameStats[i];
      EXPECT_TRUE(r.Start != 0 && r.Start <= r.EoOpenCreate && r.EoOpenCreate <= r.EoReadWrite &&
                  r.EoReadWrite <= r.EoClose)
          << "frame " << i;
    }
    EXPECT_EQ(g_bytesTransferred, published * kFrameBytes);
    return n;
  }

  const std::string dir_ = testing::TempDir() + "threaded" + std::to_string(getpid()) + "/";
};

// Frame counts around the pool size of 20: no steady state, one frame of
// it, and a long one; written then read, in files and in a stream.
TEST_F(ThreadedEngine, EveryFrameOnceAcrossPoolSizesAndModes) {
  for (int rep = 0; rep < 8; rep++)
    for (int frames : {1, 19, 20, 21, 300})
      for (int mode = 0; mode < 4; mode++) {
        SCOPED_TRACE(testing::Message()
                     << "rep " << rep << " frames " << frames << " mode " << mode);
        ASSERT_EQ(Run(mode % 2 == 0, frames, 20, mode / 2, rep % 2, ""), frames);
        EXPECT_EQ(g_numFrameStats.load(), frames);
      }
}

// A stop at a different moment each time, with few workers too: every frame
// handed out is performed, published and summarised.
TEST_F(ThreadedEngine, StopPerformsEveryHandedOutFrame) {
  ASSERT_EQ(Run(true, 200, 20, false, false, "r"), 200);  // for the reads
  for (int rep = 0; rep < 120; rep++) {
    bool write = rep % 2;
    int workers = rep % 3 == 0 ? 20 : rep % 3;
    SCOPED_TRACE(testing::Message() << "rep " << rep << " -t " << workers);
    fs::remove_all(dir_ + "w");
    int n = Run(write, 200, workers, false, rep % 4 == 1, write ? "w" : "r", 25 * rep);
    // The result counts every frame handed out, each performed, published
    // and its bytes counted (Run checks the bytes against the published).
    EXPECT_EQ(g_numFrameStats.load(), n);
    if (write) {
      EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "w"), {}), n);
    }
  }
}

}  // namespace
