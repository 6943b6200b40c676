// Unit tests of the job logic of ordavi-mpi (no MPI).
#include <gtest/gtest.h>

#include "job.h"

TEST(MpiJob, PerRankNames) {
  struct Case {
    std::string path;
    bool stream;
    std::string want;
  } cases[] = {
      {"/mnt/san/test", false, "/mnt/san/test/rank0003"},
      {"/mnt/san/test/", false, "/mnt/san/test/rank0003"},
      {"/mnt/san/clip.mov", true, "/mnt/san/clip.mov.rank0003"},
      {"/", false, "/rank0003"},
  };
  for (const Case& c : cases) EXPECT_EQ(RankTargetPath(c.path, 3, c.stream), c.want) << c.path;

  struct Log {
    std::string name, want;
  } logs[] = {
      {"log.csv", "log.rank0003.csv"},
      {"/tmp/run.1/log", "/tmp/run.1/log.rank0003"},
      {"dir/.hidden", "dir/.hidden.rank0003"},
      {"a.b.csv", "a.b.rank0003.csv"},
  };
  for (const Log& l : logs) EXPECT_EQ(RankLogName(l.name, 3), l.want) << l.name;
}

// Two ranks measured on clocks with different origins: the merged records
// start together, keep every duration, keep never-taken stamps at zero and
// move a rank's never-started frames behind every started one.
TEST(MpiJob, MergeLaysRanksOnOneTimeLine) {
  auto rec = [](int64_t s, int64_t o, int64_t w, int64_t c) {
    TIME_STATS t{};
    t.Start = s;
    t.EoOpenCreate = o;
    t.EoReadWrite = w;
    t.EoClose = c;
    return t;
  };
  TIME_STATS rank0[] = {rec(1000, 1001, 1010, 1011), rec(1011, 1012, 1020, 0), TIME_STATS{}};
  TIME_STATS rank1[] = {rec(500005, 500006, 500050, 500051)};
  std::vector<std::vector<TIME_STATS>> perRank = {RebasedRecords(rank0, 3, 1000),
                                                  RebasedRecords(rank1, 1, 500000)};
  EXPECT_EQ(perRank[0][1].EoClose, 0);
  EXPECT_EQ(perRank[1][0].Start - perRank[0][0].Start, 5);

  std::vector<RankResult> results(2);
  results[0].nFrames = 3;
  results[0].bytes = 300;
  results[0].durationTicks = 30;
  results[0].dropped = 1;
  results[1].nFrames = 1;
  results[1].bytes = 100;
  results[1].durationTicks = 60;
  results[1].dropped = 2;
  MergedJob job;
  MergeJob(results, perRank, &job);

  ASSERT_EQ(job.input.nFrames, 4);
  EXPECT_EQ(job.input.bytes, 400);
  EXPECT_EQ(job.input.durationTicks, 60);  // the latest end after the common start
  EXPECT_EQ(job.input.droppedFrames, 3);
  const TIME_STATS* m = job.input.stats;
  EXPECT_GT(m[0].Start, 0);  // a frame started in the start's tick still counts
  EXPECT_EQ(m[1].EoClose, 0);
  EXPECT_EQ(m[2].Start - m[0].Start, 5);  // rank 1's frame, on the common time line
  EXPECT_EQ(m[3].Start, 0);               // rank 0's never-started frame, last

  DurationStats file = ComputeDuration(m, 4, Duration::File, 1.0 / 1000);
  EXPECT_DOUBLE_EQ(file.max, 46.0);  // rank 1's 46-tick frame at 1000 ticks/s
  EXPECT_DOUBLE_EQ(file.min, 11.0);
}
