// Unit tests of the job logic of ordavi-mpi (no MPI).
#include <gtest/gtest.h>

#include <tuple>

#include "job.h"

TEST(MpiJob, PerRankNames) {
  const std::tuple<const char*, bool, const char*> targets[] = {
      {"/mnt/san/test", false, "/mnt/san/test/rank0003"},
      {"/mnt/san/test/", false, "/mnt/san/test/rank0003"},
      {"/mnt/san/clip.mov", true, "/mnt/san/clip.mov.rank0003"},
      {"/", false, "/rank0003"},
  };
  for (auto [path, stream, want] : targets) EXPECT_EQ(RankTargetPath(path, 3, stream), want);
  const std::pair<const char*, const char*> logs[] = {
      {"log.csv", "log.rank0003.csv"},
      {"/tmp/run.1/log", "/tmp/run.1/log.rank0003"},
      {"dir/.hidden", "dir/.hidden.rank0003"},
      {"a.b.csv", "a.b.rank0003.csv"},
  };
  for (auto [name, want] : logs) EXPECT_EQ(RankLogName(name, 3), want);
}

// Two ranks on clocks with different origins: the merged records start
// together, keep every duration, keep never-taken stamps at zero and move a
// rank's never-started frames behind every started one.
TEST(MpiJob, MergeLaysRanksOnOneTimeLine) {
  auto rec = [](int64_t s, int64_t o, int64_t w, int64_t c) {
    TIME_STATS t{};
    std::tie(t.Start, t.EoOpenCreate, t.EoReadWrite, t.EoClose) = std::tuple(s, o, w, c);
    return t;
  };
  TIME_STATS rank0[] = {rec(1000, 1001, 1010, 1011), rec(1011, 1012, 1020, 0), TIME_STATS{}};
  TIME_STATS rank1[] = {rec(500005, 500006, 500050, 500051)};
  std::vector<RankResult> results(2);
  std::tie(results[0].nFrames, results[0].bytes, results[0].durationTicks, results[0].dropped) =
      std::tuple(3, 300, 30, 1);
  std::tie(results[1].nFrames, results[1].bytes, results[1].durationTicks, results[1].dropped) =
      std::tuple(1, 100, 60, 2);
  MergedJob job;
  MergeJob(results, {RebasedRecords(rank0, 3, 1000), RebasedRecords(rank1, 1, 500000)}, &job);

  const SummaryInput& in = job.input;
  // The job lasts from the common start to the latest end.
  EXPECT_EQ(std::tuple(in.nFrames, in.bytes, in.durationTicks, in.droppedFrames),
            std::tuple(4, 400, 60, 3));
  const TIME_STATS* m = in.stats;
  EXPECT_GT(m[0].Start, 0);  // a frame started in the start's tick still counts
  EXPECT_EQ(m[1].EoClose, 0);
  EXPECT_EQ(m[2].Start - m[0].Start, 5);  // rank 1's frame, on the common time line
  EXPECT_EQ(m[3].Start, 0);               // rank 0's never-started frame, last
  DurationStats file = ComputeDuration(m, 4, Duration::File, 1.0 / 1000);
  EXPECT_EQ(std::pair(file.min, file.max), std::pair(11.0, 46.0));  // rank 1's 46-tick frame
}
