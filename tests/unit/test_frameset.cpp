#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "driver.h"
#include "frameset.h"
#include "test_support.h"

namespace {

// Frame numbers GenFileName gives positions 0..n-1 (stream mode: no name).
std::vector<int> Sequence(int n) {
  char buf[kPathBufSize] = "dir/";
  std::vector<int> out;
  for (int i = 0; i < n; i++) out.push_back(GenFileName(buf, buf + 4, i));
  return out;
}

std::string NameAt(int index) {
  char buf[kPathBufSize] = "dir/";
  GenFileName(buf, buf + 4, index);
  return buf;
}

class FrameSet : public testing::Test {
 protected:
  void SetUp() override {
    ResetParameters();
    g_streamMode = TRUE;  // naming tests need no directories
  }
  void TearDown() override { FreeRandomOrder(); }
};

TEST_F(FrameSet, OrderOfFrameNumbers) {
  g_numFrames = 10;
  EXPECT_EQ(Sequence(10), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  g_isReverse = TRUE;
  EXPECT_EQ(Sequence(10), (std::vector<int>{9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));
  g_loopFrames = 3;
  EXPECT_EQ(Sequence(10), (std::vector<int>{0, 2, 1, 0, 2, 1, 0, 2, 1, 0}));
  g_isReverse = FALSE;
  EXPECT_EQ(Sequence(10), (std::vector<int>{0, 1, 2, 0, 1, 2, 0, 1, 2, 0}));
}

TEST_F(FrameSet, RandomOrderIsAPermutationAndNeverRunsDry) {
  g_numFrames = 5;
  g_isRandom = TRUE;
  g_isReverse = TRUE;  // random wins
  ASSERT_TRUE(AllocateRandomOrder());
  std::vector<int> a = Sequence(5);
  std::vector<int> sorted = a;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int>{0, 1, 2, 3, 4}));
  // More names than frames start a new permutation instead of hanging.
  std::vector<int> b = Sequence(5);
  std::sort(b.begin(), b.end());
  EXPECT_EQ(b, sorted);
}

TEST_F(FrameSet, DirectoriesFollowThePosition) {
  g_streamMode = FALSE;
  g_numFrames = 300;
  g_numFilesPerDir = 100;
  // The directory part/ is created (mkdir fails harmlessly under "dir/").
  EXPECT_EQ(NameAt(0), "dir/part00/frame000000.tst");
  EXPECT_EQ(NameAt(250), "dir/part02/frame000250.tst");
  g_isReverse = TRUE;
  EXPECT_EQ(NameAt(0), "dir/part00/frame000299.tst");
}

TEST_F(FrameSet, WriteSizesRoundUp) {
  g_fileSize = 8294400 + 65536;
  UpdateParametersForWriteTest();
  EXPECT_EQ(g_fileSize, 8359936);
  EXPECT_EQ(g_dataSize, 8359936);
  EXPECT_EQ(g_ioSize, 8359936);
  EXPECT_EQ(g_framePreBufferCount, 0);

  ResetParameters();
  g_fileSize = 1024;  // -w 1
  g_iosPerFrame = 2;
  UpdateParametersForWriteTest();
  EXPECT_EQ(g_fileSize, 4096);
  EXPECT_EQ(g_ioSize, 4096);  // still a single I/O

  ResetParameters();
  g_fileSize = 0;  // -e
  UpdateParametersForWriteTest();
  EXPECT_EQ(g_dataSize, 0);
  EXPECT_EQ(g_ioSize, 0);
}

TEST_F(FrameSet, WriteSizeBeyondThirtyTwoBitsIsRefused) {
  g_fileSize = 2097151 * 1024;  // rounds up to 2^31
  std::string err;
  EXPECT_TRUE(Exits([] { UpdateParametersForWriteTest(); }, &err));
  EXPECT_NE(err.find("too large"), std::string::npos) << err;
  EXPECT_NE(err.find("***FATAL***"), std::string::npos);
}

TEST_F(FrameSet, ReadSizesCropAndSplit) {
  char buf[kPathBufSize] = "x";
  struct Case {
    int fileSize, crop, ios;
    int expFile, expData, expIo, expOffset;
  } cases[] = {
      {8359936, 0, 1, 8359936, 8359936, 8359936, 0},
      {8359936, 50, 1, 8359936, 4177920, 4177920, 2088960},
      {8359936, 100, 1, 8359936, 8359936, 8359936, 0},
      {4096000, 0, 3, 4096000, 4096000, 1368064, 0},
      {1000000, 0, 1, 999424, 999424, 999424, 0},
      {2147479552, 99, 1, 2147479552, 2126004224, 2126004224, 10735616},
  };
  for (auto& c : cases) {
    ResetParameters();
    g_streamMode = TRUE;  // the size is the configured one
    g_fileSize = c.fileSize;
    g_cropMode = c.crop;
    g_iosPerFrame = c.ios;
    UpdateParametersForReadTest(buf, buf + 1);
    EXPECT_EQ(g_fileSize, c.expFile);
    EXPECT_EQ(g_dataSize, c.expData);
    EXPECT_EQ(g_ioSize, c.expIo);
    EXPECT_EQ(g_ioOffset, c.expOffset);
  }
}

TEST(ParametersString, RepeatsTheEffectiveOptions) {
  struct Case {
    int write, fileSize, frames, testMode, ops, rate, queue, prebuf, ios, loop, crop, perDir;
    BOOL stream, reverse, random, ooo;
    const char* expected;
  } cases[] = {
      {1, 8359936, 100, 2, 4, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, "-w8164 -n100 -t4 "},
      {1, 8359936, 10, 1, 10, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 1, "-w8164 -n10 -a10 -o "},
      {0, 4096, 5, 0, 0, 25, 25, 5, 2, 3, 50, 7, 0, 1, 1, 1,
       "-r -z4 -n5 -d7 -v -m -f25 -q25 -b5 -i2 -l3 -c50 "},
      {0, 8294400, 9, 2, 2, 0, 0, -1, 1, 0, 0, 7, 1, 0, 0, 1, "-r -z8100 -n9 -s -t2 "},
      {1, 4096, 9, 0, 0, 30, 5, 0, 1, 4, 50, 0, 0, 0, 0, 1, "-w4 -n9 -f30 -q5 "},
  };
  for (auto& c : cases) {
    ResetParameters();
    g_fileSize = c.fileSize;
    g_numFrames = c.frames;
    g_testMode = c.testMode;
    g_numOps = c.ops;
    g_frameRate = c.rate;
    g_frameQueueSize = c.queue;
    g_framePreBufferCount = c.prebuf;
    g_iosPerFrame = c.ios;
    g_loopFrames = c.loop;
    g_cropMode = c.crop;
    g_numFilesPerDir = c.perDir;
    g_streamMode = c.stream;
    g_isReverse = c.reverse;
    g_isRandom = c.random;
    g_isOutOfOrderIo = c.ooo;
    GenerateParametersString(c.write);
    EXPECT_STREQ(g_paramsAsStr, c.expected);
  }
}

}  // namespace
