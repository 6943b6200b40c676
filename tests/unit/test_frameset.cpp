#include "driver.h"
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
  g_isRandom = g_isReverse = TRUE;  // random wins
  ASSERT_TRUE(AllocateRandomOrder());
  // More names than frames start a new permutation instead of hanging.
  for (int round = 0; round < 2; round++) {
    std::vector<int> a = Sequence(5);
    std::sort(a.begin(), a.end());
    EXPECT_EQ(a, (std::vector<int>{0, 1, 2, 3, 4}));
  }
}

TEST_F(FrameSet, DirectoriesFollowThePositionAndAreCreated) {
  const std::string dir = testing::TempDir() + "frameset" + std::to_string(getpid()) + "/";
  std::filesystem::create_directories(dir);
  g_streamMode = FALSE;
  g_numFrames = 300;
  g_numFilesPerDir = 100;
  const auto nameAt = [&](int index) {
    char buf[kPathBufSize];
    snprintf(buf, sizeof buf, "%s", dir.c_str());
    GenFileName(buf, buf + dir.size(), index);
    return std::string(buf + dir.size());
  };
  std::vector<std::string> names = {nameAt(0), nameAt(250)};
  g_isReverse = TRUE;
  names.insert(names.end(), {nameAt(0), nameAt(200)});
  EXPECT_EQ(names, (std::vector<std::string>{"part00/frame000000.tst", "part02/frame000250.tst",
                                             "part00/frame000299.tst", "part02/frame000099.tst"}));
  // The first position of each directory creates it.
  EXPECT_TRUE(std::filesystem::is_directory(dir + "part00"));
  EXPECT_TRUE(std::filesystem::is_directory(dir + "part02"));
  EXPECT_FALSE(std::filesystem::exists(dir + "part01"));
  std::filesystem::remove_all(dir);
}

TEST_F(FrameSet, SizesRoundCropAndSplit) {
  // A write rounds the size up (and never pre-buffers), a read rounds down
  // (the size is the configured one in a stream) and crops in the middle.
  char buf[kPathBufSize] = "x";
  using Sizes = std::tuple<int, int, int, int, int>;  // file, data, I/O, offset, pre-buffered
  const struct {
    bool write;
    int fileSize, crop, ios;
    Sizes expected;
  } cases[] = {
      {true, 8294400 + 65536, 0, 1, {8359936, 8359936, 8359936, 0, 0}},
      {true, 1024, 0, 2, {4096, 4096, 4096, 0, 0}},  // -w 1 in two I/Os: still a single one
      {true, 0, 0, 1, {0, 0, 0, 0, 0}},              // -e
      {false, 8359936, 0, 1, {8359936, 8359936, 8359936, 0, -1}},
      {false, 8359936, 50, 1, {8359936, 4177920, 4177920, 2088960, -1}},
      {false, 8359936, 100, 1, {8359936, 8359936, 8359936, 0, -1}},
      {false, 4096000, 0, 3, {4096000, 4096000, 1368064, 0, -1}},
      {false, 1000000, 0, 1, {999424, 999424, 999424, 0, -1}},
      {false, 2147479552, 99, 1, {2147479552, 2126004224, 2126004224, 10735616, -1}},
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
    EXPECT_EQ(Sizes(g_fileSize, g_dataSize, g_ioSize, g_ioOffset, g_framePreBufferCount),
              c.expected)
        << c.fileSize;
  }
  g_fileSize = 2097151 * 1024;  // a write rounds it up to 2^31: refused
  ParseResult r;
  Capture(&r, [] { UpdateParametersForWriteTest(); });
  EXPECT_TRUE(r.exited);
  EXPECT_TRUE(Has(r.err, "***FATAL***") && Has(r.err, "too large")) << r.err;
}

TEST(ParametersString, RepeatsTheEffectiveOptions) {
  const struct {
    const char* args;
    const char* expected;
  } cases[] = {
      {"-w 8164 -n 100 -t 4 p", "-w8164 -n100 -t4 "},
      {"-w 8164 -n 10 -a 10 -i 2 -o p", "-w8164 -n10 -a10 -o "},
      {"-z 4 -n 5 -d 7 -v -m -f 25 -q 25 -b 5 -i 2 -l 3 -c 50 -o p",
       "-r -z4 -n5 -d7 -v -m -f25 -q25 -b5 -i2 -l3 -c50 "},
      {"-z 8100 -n 9 -d 7 -s -t 2 -o p", "-r -z8100 -n9 -s -t2 "},
      {"-w 4 -n 9 -f 30 -q 5 -l 4 -c 50 -o p", "-w4 -n9 -f30 -q5 "},
  };
  for (const auto& c : cases) {
    ParseResult r = ParseArgs(c.args);
    ASSERT_FALSE(r.exited) << r.err;
    if (r.cl.isWriteTest) UpdateParametersForWriteTest();
    GenerateParametersString(r.cl.isWriteTest);
    EXPECT_STREQ(g_paramsAsStr, c.expected);
  }
}

}  // namespace
