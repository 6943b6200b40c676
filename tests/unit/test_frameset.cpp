#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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

TEST_F(FrameSet, DirectoriesFollowThePositionAndAreCreated) {
  char tmpl[] = "/tmp/ordavi-frameset.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  char buf[kPathBufSize];
  snprintf(buf, sizeof buf, "%s/", tmpl);
  const auto nameAt = [&](int index) {
    GenFileName(buf, buf + dir.size() + 1, index);
    return std::string(buf + dir.size() + 1);
  };
  g_streamMode = FALSE;
  g_numFrames = 300;
  g_numFilesPerDir = 100;
  EXPECT_EQ(nameAt(0), "part00/frame000000.tst");
  EXPECT_EQ(nameAt(250), "part02/frame000250.tst");
  g_isReverse = TRUE;
  EXPECT_EQ(nameAt(0), "part00/frame000299.tst");
  EXPECT_EQ(nameAt(200), "part02/frame000099.tst");
  // The first position of each directory creates it.
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/part00"));
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/part02"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/part01"));
  std::filesystem::remove_all(dir);
}

TEST_F(FrameSet, SizesRoundCropAndSplit) {
  // A write rounds the size up (and never pre-buffers), a read rounds down
  // (the size is the configured one in a stream) and crops in the middle.
  char buf[kPathBufSize] = "x";
  const struct {
    bool write;
    int fileSize, crop, ios, expFile, expData, expIo, expOffset;
  } cases[] = {
      {true, 8294400 + 65536, 0, 1, 8359936, 8359936, 8359936, 0},
      {true, 1024, 0, 2, 4096, 4096, 4096, 0},  // -w 1 in two I/Os: still a single one
      {true, 0, 0, 1, 0, 0, 0, 0},              // -e
      {false, 8359936, 0, 1, 8359936, 8359936, 8359936, 0},
      {false, 8359936, 50, 1, 8359936, 4177920, 4177920, 2088960},
      {false, 8359936, 100, 1, 8359936, 8359936, 8359936, 0},
      {false, 4096000, 0, 3, 4096000, 4096000, 1368064, 0},
      {false, 1000000, 0, 1, 999424, 999424, 999424, 0},
      {false, 2147479552, 99, 1, 2147479552, 2126004224, 2126004224, 10735616},
  };
  for (const auto& c : cases) {
    ResetParameters();
    g_streamMode = TRUE;
    g_fileSize = c.fileSize;
    g_cropMode = c.crop;
    g_iosPerFrame = c.ios;
    if (c.write)
      UpdateParametersForWriteTest();
    else
      UpdateParametersForReadTest(buf, buf + 1);
    EXPECT_EQ(g_fileSize, c.expFile) << c.fileSize;
    EXPECT_EQ(g_dataSize, c.expData) << c.fileSize;
    EXPECT_EQ(g_ioSize, c.expIo) << c.fileSize;
    EXPECT_EQ(g_ioOffset, c.expOffset) << c.fileSize;
    EXPECT_EQ(g_framePreBufferCount, c.write ? 0 : -1);  // at most the queue - 1
  }
}

TEST_F(FrameSet, WriteSizeBeyondThirtyTwoBitsIsRefused) {
  g_fileSize = 2097151 * 1024;  // rounds up to 2^31
  std::string err;
  EXPECT_TRUE(Exits([] { UpdateParametersForWriteTest(); }, &err));
  EXPECT_NE(err.find("too large"), std::string::npos) << err;
  EXPECT_NE(err.find("***FATAL***"), std::string::npos);
}

TEST(ParametersString, RepeatsTheEffectiveOptions) {
  const struct {
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {
      {{"-w", "8164", "-n", "100", "-t", "4"}, "-w8164 -n100 -t4 "},
      {{"-w", "8164", "-n", "10", "-a", "10", "-i", "2", "-o"}, "-w8164 -n10 -a10 -o "},
      {{"-z", "4",  "-n", "5",  "-d", "7",  "-v", "-m", "-f", "25", "-q",
        "25", "-b", "5",  "-i", "2",  "-l", "3",  "-c", "50", "-o"},
       "-r -z4 -n5 -d7 -v -m -f25 -q25 -b5 -i2 -l3 -c50 "},
      {{"-z", "8100", "-n", "9", "-d", "7", "-s", "-t", "2", "-o"}, "-r -z8100 -n9 -s -t2 "},
      {{"-w", "4", "-n", "9", "-f", "30", "-q", "5", "-l", "4", "-c", "50", "-o"},
       "-w4 -n9 -f30 -q5 "},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("p");
    ParseResult r = ParseArgs(args);
    ASSERT_FALSE(r.exited) << r.err;
    if (r.cl.isWriteTest) UpdateParametersForWriteTest();
    GenerateParametersString(r.cl.isWriteTest);
    EXPECT_STREQ(g_paramsAsStr, c.expected);
  }
}

}  // namespace
