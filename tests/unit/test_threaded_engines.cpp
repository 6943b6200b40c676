// The multithreaded engines in-process on small buffered frames, over and
// over, so that the hand-over and the winding down meet many interleavings:
// under ThreadSanitizer the race check of the worker pool, in any build the
// check that every frame is performed and published exactly once.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "engines/engines.h"
#include "frameset.h"
#include "messages.h"
#include "params.h"
#include "platform/platform.h"
#include "stats.h"

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
    char tmpl[] = "/tmp/ordavi-threaded.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    delete[] g_frameStats;
    g_frameStats = nullptr;
    ResetParameters();
    ResetRunCounters();
    fs::remove_all(dir_);
  }

  // Sets the globals and records up as the driver would, for a run in the
  // directory `sub` below the test's directory. The read engine has no -o.
  void Configure(bool write, int frames, int ops, bool stream, bool outOfOrder, const char* sub) {
    ResetParameters();
    ResetRunCounters();
    g_numFrames = frames;
    g_numOps = std::min(ops, frames);
    g_testMode = 2;
    g_streamMode = stream;
    g_isOutOfOrderIo = write && outOfOrder;
    g_bufferedIo = TRUE;
    g_fileSize = write || stream ? kFrameBytes : 0;
    fs::create_directories(dir_ + "/" + sub);
    snprintf(path_, sizeof path_, stream ? "%s/%s/stream.bin" : "%s/%s/", dir_.c_str(), sub);
    namePart_ = path_ + strlen(path_);
    write_ = write;
    if (write)
      UpdateParametersForWriteTest();
    else
      UpdateParametersForReadTest(path_, namePart_);
    delete[] g_frameStats;
    g_frameStats = new TIME_STATS[size_t(frames)]();
  }

  // Runs the engine; checks that every published record holds its four
  // stamps in order and that the byte count matches them.
  int Execute() {
    // Reads the published records while the engine runs, as the live screen
    // does: none may be published before it is complete.
    std::atomic<bool> running{true};
    int early = 0;
    std::thread screen([&] {
      for (int seen = 0; running.load(); std::this_thread::yield())
        for (int n = g_numFrameStats.load(std::memory_order_acquire); seen < n; seen++)
          early += g_frameStats[seen].EoClose == 0;
    });
    testing::internal::CaptureStdout();
    int n = write_ ? CreateOrdaviThreaded(path_, namePart_) : ReadOrdaviThreaded(path_, namePart_);
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

  std::string dir_;
  char path_[kPathBufSize];
  char* namePart_ = nullptr;
  bool write_ = false;
};

// Frame counts around the pool size of 20: no steady state, one frame of
// it, and a long one; in order and out of order; files and stream.
TEST_F(ThreadedEngine, EveryFrameOnceAcrossPoolSizesAndModes) {
  for (int rep = 0; rep < 8; rep++)
    for (int frames : {1, 19, 20, 21, 300})
      for (bool stream : {false, true})
        for (bool write : {true, false}) {
          bool ooo = rep % 2 == 1;
          SCOPED_TRACE(testing::Message() << "frames " << frames << " stream " << stream
                                          << " write " << write << " ooo " << ooo);
          Configure(write, frames, 20, stream, ooo, "");
          ASSERT_EQ(Execute(), frames);
          EXPECT_EQ(g_numFrameStats.load(), frames);
        }
}

// A stop from another thread (a user break) at a different moment each
// time: every handed-out frame is performed and published.
TEST_F(ThreadedEngine, StopPerformsEveryHandedOutFrame) {
  Configure(true, 200, 20, false, false, "frames");
  ASSERT_EQ(Execute(), 200);  // for the reads
  for (int rep = 0; rep < 60; rep++) {
    for (bool write : {true, false}) {
      // Few workers make the engine hand a worker its next frame, and then
      // wind down, right while that worker is returning from its last one.
      int workers = rep % 3 == 0 ? 20 : rep % 3;
      SCOPED_TRACE(testing::Message() << "rep " << rep << " write " << write << " -t " << workers);
      fs::remove_all(dir_ + "/w");
      Configure(write, 200, workers, false, rep % 2 == 1, write ? "w" : "frames");
      std::thread breaker([rep] {
        usleep(useconds_t(50 * rep));
        g_terminate.store(1);
      });
      int n = Execute();
      breaker.join();
      int published = g_numFrameStats.load();
      if (write) {  // the result counts every frame handed out, each written
        EXPECT_EQ(published, n);
        for (int i = 0; i < 200; i++) {
          char name[32];
          snprintf(name, sizeof name, "/w/frame%06d.tst", i);
          EXPECT_EQ(fs::exists(dir_ + name), i < n) << i;
        }
      } else {  // the frame handed out last is read and published, not counted
        EXPECT_TRUE(published == n + 1 || (n == 200 && published == 200)) << n << " " << published;
      }
    }
  }
}

}  // namespace
