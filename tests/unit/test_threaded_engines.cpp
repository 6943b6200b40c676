// The multithreaded engines run in-process on small buffered frames, over and
// over, so that the hand-over protocol and the winding down meet as many
// interleavings as possible. Built with ORDAVI_SANITIZE=thread these runs are
// the race check of the worker pool; in any build they check that every
// frame is performed and published exactly once.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
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

constexpr int kFrameKb = 4;

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
    std::filesystem::remove_all(dir_);
  }

  // Sets up the globals and the records as the driver would, for a run in
  // the directory `sub` below the test's directory.
  void Configure(bool write, int frames, int ops, bool stream, bool outOfOrder,
                 const char* sub = "") {
    ResetParameters();
    ResetRunCounters();
    g_numFrames = frames;
    g_numOps = std::min(ops, frames);
    g_testMode = 2;
    g_streamMode = stream;
    g_isOutOfOrderIo = outOfOrder;
    g_bufferedIo = TRUE;
    g_fileSize = write || stream ? kFrameKb * 1024 : 0;
    std::string dir = dir_ + "/" + sub;
    std::filesystem::create_directories(dir);
    snprintf(path_, sizeof path_, stream ? "%s/stream.bin" : "%s/", dir.c_str());
    namePart_ = path_ + strlen(path_);
    write_ = write;
    if (write)
      UpdateParametersForWriteTest();
    else
      UpdateParametersForReadTest(path_, namePart_);
    delete[] g_frameStats;
    g_frameStats = new TIME_STATS[size_t(frames)]();
  }

  int Execute() {
    testing::internal::CaptureStdout();
    int n = write_ ? CreateOrdaviThreaded(path_, namePart_) : ReadOrdaviThreaded(path_, namePart_);
    testing::internal::GetCapturedStdout();
    return n;
  }

  int Run(bool write, int frames, int ops, bool stream, bool outOfOrder, const char* sub = "") {
    Configure(write, frames, ops, stream, outOfOrder, sub);
    return Execute();
  }

  // Every record below `count` holds its four stamps in order.
  static void ExpectComplete(int count) {
    for (int i = 0; i < count; i++) {
      const TIME_STATS& r = g_frameStats[i];
      ASSERT_NE(r.Start, 0) << "frame " << i;
      ASSERT_LE(r.Start, r.EoOpenCreate) << "frame " << i;
      ASSERT_LE(r.EoOpenCreate, r.EoReadWrite) << "frame " << i;
      ASSERT_LE(r.EoReadWrite, r.EoClose) << "frame " << i;
    }
  }

  std::string FramePath(const char* sub, int n) const {
    char name[64];
    snprintf(name, sizeof name, "/frame%06d.tst", n);
    return dir_ + "/" + sub + name;
  }

  std::string dir_;
  char path_[kPathBufSize];
  char* namePart_ = nullptr;
  bool write_ = false;
};

TEST_F(ThreadedEngine, EveryFrameOnceAcrossPoolSizesAndModes) {
  // Frame counts around the pool size: no steady state, one frame of steady
  // state, and a long one; in order and out of order; files and stream.
  for (int rep = 0; rep < 4; rep++) {
    for (int frames : {1, 19, 20, 21, 300}) {
      for (bool stream : {false, true}) {
        for (bool ooo : {false, true}) {
          SCOPED_TRACE(testing::Message()
                       << "frames " << frames << " stream " << stream << " ooo " << ooo);
          ASSERT_EQ(Run(true, frames, 20, stream, ooo), frames);
          EXPECT_EQ(g_numFrameStats.load(), frames);
          EXPECT_EQ(g_bytesTransferred, int64_t(frames) * kFrameKb * 1024);
          EXPECT_EQ(g_terminate.load(), 1);
          ExpectComplete(frames);

          ASSERT_EQ(Run(false, frames, 20, stream, ooo), frames);
          EXPECT_EQ(g_numFrameStats.load(), frames);
          EXPECT_EQ(g_bytesTransferred, int64_t(frames) * kFrameKb * 1024);
          ExpectComplete(frames);
          std::filesystem::remove_all(dir_);
          std::filesystem::create_directory(dir_);
        }
      }
    }
  }
}

TEST_F(ThreadedEngine, StopPerformsEveryHandedOutFrame) {
  ASSERT_EQ(Run(true, 200, 20, false, false, "frames"), 200);  // for the reads
  for (int rep = 0; rep < 60; rep++) {
    for (bool write : {true, false}) {
      // Few workers make the engine hand a worker its next frame, and then
      // wind down, right while that worker is returning from its last one.
      int workers = rep % 3 == 0 ? 20 : rep % 3;
      SCOPED_TRACE(testing::Message() << "rep " << rep << " write " << write << " -t " << workers);
      std::filesystem::remove_all(dir_ + "/w");
      Configure(write, 200, workers, false, rep % 2 == 1, write ? "w" : "frames");
      // The stop comes from another thread, as a user break would, at a
      // different moment each time.
      std::thread breaker([rep] {
        usleep(useconds_t(50 * rep));
        g_terminate.store(1);
      });
      int n = Execute();
      breaker.join();
      int published = g_numFrameStats.load();
      ExpectComplete(published);
      if (write) {
        // The result counts every handed-out frame, and each was written.
        EXPECT_EQ(published, n);
        for (int i = 0; i < 200; i++)
          EXPECT_EQ(std::filesystem::exists(FramePath("w", i)), i < n) << i;
      } else {
        // After a stop, the frame handed out last is read and published but
        // not counted in the result.
        EXPECT_TRUE(published == n + 1 || (n == 200 && published == 200)) << n << " " << published;
      }
      EXPECT_EQ(g_bytesTransferred, int64_t(published) * kFrameKb * 1024);
    }
  }
}

}  // namespace
