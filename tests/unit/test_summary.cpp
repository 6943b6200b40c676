#include "screen/summary.h"
#include "test_support.h"

namespace {

constexpr double kUs = 0.000001;  // seconds per tick

TIME_STATS Rec(int64_t start, int64_t open, int64_t io, int64_t close, int32_t queue = 0) {
  return TIME_STATS{start, open, io, close, 0, queue};
}

TEST(SummaryDurations, MinAvgMaxOverFinishedFrames) {
  const std::vector<TIME_STATS> both = {Rec(1000, 1100, 5100, 5150), Rec(6000, 6300, 8300, 8400)};
  // An unstarted record ends the walk, yet the average divides by every
  // frame: 1000 ticks * 1000 / 3 = 333333 (truncated), times 1e-6.
  const std::vector<TIME_STATS> unstarted = {Rec(10, 10, 1010, 1010), Rec(0, 0, 0, 0),
                                             Rec(5000, 5000, 9000, 9000)};
  // A worker failed on the middle frame: it holds its start only.
  const std::vector<TIME_STATS> unfinished = {Rec(100, 100, 600, 600), Rec(700, 0, 0, 0),
                                              Rec(800, 800, 1100, 1100)};
  const std::vector<TIME_STATS> none = {Rec(0, 0, 0, 0)};
  const struct {
    const std::vector<TIME_STATS>* records;
    int n;
    Duration which;
    std::tuple<int64_t, int64_t, int64_t> ns;  // min, avg, max in nanoseconds
  } cases[] = {{&both, 2, Duration::File, {2400000, 3275000, 4150000}},
               {&both, 2, Duration::Open, {100000, 200000, 300000}},
               {&both, 2, Duration::Io, {2000000, 3000000, 4000000}},
               {&both, 2, Duration::Close, {50000, 75000, 100000}},
               {&unstarted, 3, Duration::File, {1000000, 333333, 1000000}},
               {&unfinished, 3, Duration::File, {300000, 266666, 500000}},
               {&unfinished, 3, Duration::Open, {0, 0, 0}},
               {&none, 1, Duration::File, {0, 0, 0}},
               {&none, 0, Duration::File, {0, 0, 0}}};
  for (const auto& c : cases) {
    DurationStats d = ComputeDuration(c.records->data(), c.n, c.which, kUs);
    EXPECT_EQ(std::make_tuple(llround(d.min * 1e6), llround(d.avg * 1e6), llround(d.max * 1e6)),
              c.ns)
        << &c - cases;
  }
}

// Frames a stop kept out of a full queue (-1) have no figure; the figures
// cover every frame that was queued, past the pre-buffer.
TEST(SummaryQueue, SkipsPreBufferedAndFramesNeverQueued) {
  std::vector<TIME_STATS> r;
  for (int q : {9, -1, 3, 5, -1, 7}) r.push_back(Rec(1, 1, 1, 1, q));
  QueueStats q = ComputeQueue(r.data(), 6, 2);
  EXPECT_EQ(std::make_tuple(q.min, q.avg, q.max), std::make_tuple(3, 15.0 / 6.0, 7));
}

// The timing log of two frames, unpaced and then paced (queue columns,
// dropped frames) with a path that needs quoting.
TEST(TimingLog, BothForms) {
  ResetParameters();
  ResetRunCounters();
  g_perfTime = kUs;
  std::vector<TIME_STATS> recs = {Rec(1000100, 1000200, 1004200, 1004300, 4),
                                  Rec(1005000, 1005000, 1009000, 1009000, 2)};
  recs[0].FrameTime = 1010000;
  g_frameStats = recs.data();
  g_startTime = 1000000;
  g_endTime = 1010000;
  g_bytesTransferred = 2 * 1048576;
  snprintf(g_paramsAsStr, sizeof g_paramsAsStr, "-r -z8 -n2 ");
  const auto log = [](const char* path) {
    char* data = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&data, &size);
    WriteTimingLog(f, 2, path);
    fclose(f);
    std::string s(data, size);
    free(data);
    return s;
  };
  std::string unpaced = log("/data/clips");
  EXPECT_TRUE(unpaced.starts_with("Version,4.23\nOS,Linux "));
  EXPECT_EQ(unpaced.substr(unpaced.find("TestPath,")),
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
  g_frameRate = 25;
  g_framePreBufferCount = 1;
  g_dropFrameCount = 3;
  std::string paced = log("/data/\"odd\" clips");
  EXPECT_TRUE(Has(paced, "TestPath,\"/data/\"\"odd\"\" clips\"\n"));
  EXPECT_TRUE(Has(paced,
                  "DroppedFrames,3\n\n"
                  ",file,open,io,close,queue\n"
                  "min,4.000,0.000,4.000,0.000,2\n"
                  "avg,4.100,0.050,4.000,0.050,1.0\n"
                  "max,4.200,0.100,4.000,0.100,2\n"
                  "\nnum,start,open,io,close,frametime,queue\n"
                  "0,0.100,0.200,4.200,4.300,10.000,4\n"
                  "1,5.000,5.000,9.000,9.000,-1000.000,2\n"))
      << paced;
  g_frameStats = nullptr;
}

}  // namespace
