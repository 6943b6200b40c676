#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "report/summary.h"
#include "test_support.h"

namespace {

constexpr double kUs = 0.000001;  // seconds per tick

TIME_STATS Rec(int64_t start, int64_t open, int64_t io, int64_t close, int32_t queue = 0) {
  return TIME_STATS{start, open, io, close, 0, queue};
}

TEST(SummaryDurations, MinAvgMaxOfEachPhase) {
  std::vector<TIME_STATS> r = {Rec(1000, 1100, 5100, 5150), Rec(6000, 6300, 8300, 8400)};
  DurationStats file = ComputeDuration(r.data(), 2, Duration::File, kUs);
  EXPECT_DOUBLE_EQ(file.min, 2.4);
  EXPECT_DOUBLE_EQ(file.max, 4.15);
  EXPECT_DOUBLE_EQ(file.avg, 3.275);
  DurationStats open = ComputeDuration(r.data(), 2, Duration::Open, kUs);
  EXPECT_DOUBLE_EQ(open.min, 0.1);
  EXPECT_DOUBLE_EQ(open.max, 0.3);
  DurationStats io = ComputeDuration(r.data(), 2, Duration::Io, kUs);
  EXPECT_DOUBLE_EQ(io.avg, 3.0);
  DurationStats close = ComputeDuration(r.data(), 2, Duration::Close, kUs);
  EXPECT_DOUBLE_EQ(close.min, 0.05);
  EXPECT_DOUBLE_EQ(close.max, 0.1);
}

TEST(SummaryDurations, StopsAtUnstartedRecordButDividesByAllFrames) {
  std::vector<TIME_STATS> r = {Rec(10, 10, 1010, 1010), Rec(0, 0, 0, 0),
                               Rec(5000, 5000, 9000, 9000)};
  DurationStats file = ComputeDuration(r.data(), 3, Duration::File, kUs);
  EXPECT_DOUBLE_EQ(file.min, 1.0);
  EXPECT_DOUBLE_EQ(file.max, 1.0);
  // 1000 ticks * 1000 / 3 frames = 333333 (truncated), times 1e-6.
  EXPECT_DOUBLE_EQ(file.avg, 0.333333);
}

TEST(SummaryDurations, UnfinishedFramesAreLeftOut) {
  // A worker failed on the middle frame: it holds its start only.
  std::vector<TIME_STATS> r = {Rec(100, 100, 600, 600), Rec(700, 0, 0, 0),
                               Rec(800, 800, 1100, 1100)};
  DurationStats file = ComputeDuration(r.data(), 3, Duration::File, kUs);
  EXPECT_DOUBLE_EQ(file.min, 0.3);
  EXPECT_DOUBLE_EQ(file.max, 0.5);
  DurationStats open = ComputeDuration(r.data(), 3, Duration::Open, kUs);
  EXPECT_GE(open.min, 0);
}

TEST(SummaryDurations, NothingCountedGivesZeros) {
  std::vector<TIME_STATS> r = {Rec(0, 0, 0, 0)};
  for (int n : {0, 1}) {
    DurationStats d = ComputeDuration(r.data(), n, Duration::File, kUs);
    EXPECT_EQ(d.min, 0);
    EXPECT_EQ(d.avg, 0);
    EXPECT_EQ(d.max, 0);
  }
}

TEST(SummaryQueue, SkipsPreBufferedAndStopsAtNegative) {
  std::vector<TIME_STATS> r = {Rec(1, 1, 1, 1, 9), Rec(1, 1, 1, 1, 9),  Rec(1, 1, 1, 1, 3),
                               Rec(1, 1, 1, 1, 5), Rec(1, 1, 1, 1, -1), Rec(1, 1, 1, 1, 7)};
  QueueStats q = ComputeQueue(r.data(), 6, 2);
  EXPECT_EQ(q.min, 3);
  EXPECT_EQ(q.max, 5);
  EXPECT_DOUBLE_EQ(q.avg, 8.0 / 6.0);  // divided by every frame

  // A negative value inside the skipped records stops the walk too.
  r[0].QueueUsage = -1;
  q = ComputeQueue(r.data(), 6, 2);
  EXPECT_EQ(q.min, 0);
  EXPECT_EQ(q.max, 0);
  EXPECT_EQ(q.avg, 0);
}

class TimingLog : public testing::Test {
 protected:
  void SetUp() override {
    ResetParameters();
    ResetRunCounters();
    g_perfTime = kUs;
    recs_ = {Rec(1000100, 1000200, 1004200, 1004300, 4),
             Rec(1005000, 1005000, 1009000, 1009000, 2)};
    recs_[0].FrameTime = 1010000;
    g_frameStats = recs_.data();
    g_startTime = 1000000;
    g_endTime = 1010000;
    g_bytesTransferred = 2 * 1048576;
    snprintf(g_paramsAsStr, sizeof g_paramsAsStr, "-r -z8 -n2 ");
  }
  void TearDown() override { g_frameStats = nullptr; }

  std::string Log(const char* path) {
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    WriteTimingLog(f, 2, path);
    fclose(f);
    std::string s(data, size);
    free(data);
    return s;
  }
  std::vector<TIME_STATS> recs_;
};

TEST_F(TimingLog, UnpacedForm) {
  std::string log = Log("/data/clips");
  size_t body = log.find("TestPath,");
  ASSERT_NE(body, std::string::npos);
  EXPECT_EQ(log.rfind("Version,4.23\nOS,Linux ", 0), 0u);
  EXPECT_EQ(log.substr(body),
            "TestPath,\"/data/clips\"\n"
            "Parameters,\" -r -z8 -n2 \"\n"
            "FrameRate,200.00,fps\n"
            "Bandwidth,200.00,MB/s\n"
            "DroppedFrames,0\n"
            "\n"
            ",file,open,io,close\n"
            "min,4.000,0.000,4.000,0.000\n"
            "avg,4.100,0.050,4.000,0.050\n"
            "max,4.200,0.100,4.000,0.100\n"
            "\n"
            "num,start,open,io,close\n"
            "0,0.100,0.200,4.200,4.300\n"
            "1,5.000,5.000,9.000,9.000\n");
}

TEST_F(TimingLog, PacedFormAndQuotedPath) {
  g_frameRate = 25;
  g_framePreBufferCount = 1;
  g_dropFrameCount = 3;
  std::string log = Log("/data/\"odd\" clips");
  EXPECT_NE(log.find("TestPath,\"/data/\"\"odd\"\" clips\"\n"), std::string::npos);
  EXPECT_NE(log.find("DroppedFrames,3\n"), std::string::npos);
  EXPECT_NE(log.find("\n,file,open,io,close,queue\n"
                     "min,4.000,0.000,4.000,0.000,2\n"
                     "avg,4.100,0.050,4.000,0.050,1.0\n"
                     "max,4.200,0.100,4.000,0.100,2\n"
                     "\nnum,start,open,io,close,frametime,queue\n"
                     "0,0.100,0.200,4.200,4.300,10.000,4\n"
                     "1,5.000,5.000,9.000,9.000,-1000.000,2\n"),
            std::string::npos)
      << log;
}

}  // namespace
