// The asynchronous engines in-process, where the test can see what the end-
// to-end runs cannot: how many records were published (each exactly once),
// and that no descriptor is left open, on clean runs and on every way the
// main loop can stop.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n - 1;  // the directory stream itself
}

class AsyncEngineInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    QueryPerfFreq(&g_perfFreq);
    g_perfTime = 1.0 / double(g_perfFreq);
    pthread_attr_init(&g_pthreadAttr);
    AioInit();  // the helper pool lives for the whole process
    char tmpl[] = "/tmp/ordavi-async.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    baseline_ = OpenDescriptors();
  }
  void TearDown() override {
    delete[] g_frameStats;
    g_frameStats = nullptr;
    ResetParameters();
    ResetRunCounters();
    std::filesystem::remove_all(dir_);
  }

  void Configure(bool write, int frames, int ops, int frameKb, bool stream = false) {
    ResetParameters();
    ResetRunCounters();
    g_numFrames = frames;
    g_numOps = std::min(ops, frames);
    g_testMode = 1;
    g_streamMode = stream;
    g_bufferedIo = TRUE;
    g_fileSize = write || stream ? frameKb * 1024 : 0;
    snprintf(path_, sizeof path_, stream ? "%s/stream.bin" : "%s/", dir_.c_str());
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
    testing::internal::CaptureStderr();
    int n = write_ ? CreateOrdaviAsync(path_, namePart_) : ReadOrdaviAsync(path_, namePart_);
    testing::internal::GetCapturedStdout();
    err_ = testing::internal::GetCapturedStderr();
    return n;
  }

  std::string Frame(int n) {
    char name[32];
    snprintf(name, sizeof name, "/frame%06d.tst", n);
    return dir_ + name;
  }
  void MakeFrames(int count, int bytes) {
    std::string data(size_t(bytes), 'r');
    for (int i = 0; i < count; i++) {
      FILE* f = fopen(Frame(i).c_str(), "wb");
      fwrite(data.data(), 1, data.size(), f);
      fclose(f);
    }
  }

  // Every one of the first `n` records is a whole frame.
  static int CompleteRecords(int n) {
    int complete = 0;
    for (int i = 0; i < n; i++) {
      const TIME_STATS& t = g_frameStats[i];
      complete += t.Start > 0 && t.EoOpenCreate >= t.Start && t.EoReadWrite >= t.EoOpenCreate &&
                  t.EoClose >= t.EoReadWrite;
    }
    return complete;
  }

  std::string dir_;
  char path_[kPathBufSize];
  char* namePart_ = nullptr;
  bool write_ = true;
  int baseline_ = 0;
  std::string err_;
};

TEST_F(AsyncEngineInProcess, CleanRunsPublishEveryFrameOnceAndCloseEverything) {
  struct Case {
    bool stream;
    int ops;
    bool outOfOrder;
  } cases[] = {
      {false, 4, false}, {false, 4, true}, {true, 4, false}, {false, 1, false}, {false, 50, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stream ? "stream" : "files") + " ops " + std::to_string(c.ops));
    Configure(true, 30, c.ops, 8, c.stream);
    g_isOutOfOrderIo = c.outOfOrder;
    EXPECT_EQ(Execute(), 30);
    EXPECT_EQ(g_numFrameStats.load(), 30);
    EXPECT_EQ(CompleteRecords(30), 30);
    EXPECT_EQ(g_bytesTransferred, int64_t(30) * 8192);
    EXPECT_EQ(OpenDescriptors(), baseline_);

    Configure(false, 30, c.ops, 8, c.stream);
    EXPECT_EQ(Execute(), 30);
    EXPECT_EQ(g_numFrameStats.load(), 30);
    EXPECT_EQ(CompleteRecords(30), 30);
    EXPECT_EQ(g_bytesTransferred, int64_t(30) * 8192);
    EXPECT_EQ(OpenDescriptors(), baseline_);
    EXPECT_EQ(err_, "");
  }
}

TEST_F(AsyncEngineInProcess, ShortReadIsPublishedOnceAndTheRestDrained) {
  MakeFrames(12, 16384);
  ASSERT_EQ(truncate(Frame(6).c_str(), 8192), 0);
  Configure(false, 12, 3, 0);
  // Frame 6 fails when it completes, with frameIndex at 9: frames 0-8 were
  // queued, and each of them is published exactly once.
  EXPECT_EQ(Execute(), 9);
  EXPECT_EQ(g_numFrameStats.load(), 9);
  EXPECT_EQ(CompleteRecords(9), 9);
  EXPECT_EQ(g_frameStats[9].Start, 0);
  EXPECT_EQ(g_bytesTransferred, int64_t(8) * 16384);  // the short frame counts nothing
  EXPECT_EQ(OpenDescriptors(), baseline_);
  EXPECT_EQ(err_, "Only 8192 of 16384 bytes were read\nError 0: Success\n");
}

TEST_F(AsyncEngineInProcess, FailedOpenInTheMainLoopLeavesNothingOpen) {
  MakeFrames(8, 8192);
  unlink(Frame(5).c_str());
  ASSERT_EQ(mkdir(Frame(5).c_str(), 0700), 0);  // opens, but its read fails
  Configure(false, 8, 3, 0);
  // Frame 5's transfer fails when frameIndex is 8: the wait reports it and
  // the drain collects frames 5, 6 and 7.
  EXPECT_EQ(Execute(), 8);
  EXPECT_EQ(g_numFrameStats.load(), 8);
  EXPECT_EQ(CompleteRecords(8), 8);
  EXPECT_EQ(g_bytesTransferred, int64_t(7) * 8192);
  EXPECT_EQ(OpenDescriptors(), baseline_);

  // A symbolic link loop: the open itself fails, not at end of sequence.
  rmdir(Frame(5).c_str());
  ASSERT_EQ(symlink(Frame(5).c_str(), Frame(5).c_str()), 0);
  Configure(false, 8, 3, 0);
  EXPECT_EQ(Execute(), 5);
  EXPECT_EQ(g_numFrameStats.load(), 5);
  EXPECT_EQ(g_loopFrames, 0);
  EXPECT_EQ(OpenDescriptors(), baseline_);
  EXPECT_NE(err_.find("Error 40:"), std::string::npos) << err_;
}

TEST_F(AsyncEngineInProcess, EndOfSequenceSetsTheLoopAndReadsOn) {
  MakeFrames(5, 8192);
  Configure(false, 13, 3, 0);
  EXPECT_EQ(Execute(), 13);
  EXPECT_EQ(g_loopFrames, 5);
  EXPECT_EQ(g_numFrameStats.load(), 13);
  EXPECT_EQ(CompleteRecords(13), 13);
  EXPECT_EQ(OpenDescriptors(), baseline_);
  EXPECT_EQ(err_, "");
}

TEST_F(AsyncEngineInProcess, CreateFailureInTheMainLoop) {
  Configure(true, 10, 3, 8);
  g_numFilesPerDir = 4;
  FILE* f = fopen((dir_ + "/part01").c_str(), "wb");  // a file where a directory goes
  fclose(f);
  EXPECT_EQ(Execute(), 4);
  EXPECT_EQ(g_numFrameStats.load(), 4);
  EXPECT_EQ(CompleteRecords(4), 4);
  EXPECT_EQ(OpenDescriptors(), baseline_);
}

TEST_F(AsyncEngineInProcess, BreakDuringTheRunDrainsTheIssuedFrames) {
  // The stop flag found set after frame k was queued: k is returned, and
  // k + 1 frames are published, all of them whole.
  Configure(true, 200000, 4, 4);
  std::thread breaker([] {
    usleep(200000);
    g_terminate.store(1);
  });
  int n = Execute();
  breaker.join();
  ASSERT_GT(n, 4);
  ASSERT_LT(n, 200000);
  EXPECT_EQ(g_numFrameStats.load(), n + 1);
  EXPECT_EQ(CompleteRecords(n + 1), n + 1);
  EXPECT_EQ(g_frameStats[n + 1].Start, 0);
  EXPECT_EQ(OpenDescriptors(), baseline_);
}

}  // namespace
