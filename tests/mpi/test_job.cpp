// Unit tests of the job logic of ordavi-mpi (no MPI).
#include <gtest/gtest.h>

#include <tuple>

#include "job.h"

// Kind 0: a frame directory, 1: a stream file, 2: a timing log.
TEST(MpiJob, PerRankNames) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"/mnt/san/test/", 0, "/mnt/san/test/rank0003"},
      {"/", 0, "/rank0003"},
      {"/mnt/san/clip.mov", 1, "/mnt/san/clip.mov.rank0003"},
      {"a.b.csv", 2, "a.b.rank0003.csv"},
      {"/tmp/run.1/log", 2, "/tmp/run.1/log.rank0003"},
      {"dir/.hidden", 2, "dir/.hidden.rank0003"}};
  for (auto [path, kind, want] : cases)
    EXPECT_EQ(kind == 2 ? RankLogName(path, 3) : RankTargetPath(path, 3, kind == 1), want);
}

// Two ranks on clocks with different origins: the merged records start
// together, keep every duration, keep never-taken stamps at zero and move a
// rank's never-started frames behind every started one. The job table adds
// up every rank and shows the spread of their wall-clock starts.
TEST(MpiJob, MergeAndJobTable) {
  auto rec = [](int64_t s, int64_t o, int64_t w, int64_t c) {
    TIME_STATS t{};
    std::tie(t.Start, t.EoOpenCreate, t.EoReadWrite, t.EoClose) = std::tuple(s, o, w, c);
    return t;
  };
  TIME_STATS rank0[] = {rec(1000, 1001, 1010, 1011), rec(1011, 1012, 1020, 0), TIME_STATS{}};
  TIME_STATS rank1[] = {rec(500005, 500006, 500050, 500051)};
  std::vector<RankResult> results(2);
  auto set = [](RankResult& r) {
    return std::tie(r.nFrames, r.bytes, r.durationTicks, r.dropped, r.wallStartSec);
  };
  set(results[0]) = std::tuple(3, 300, 30, 1, 100.0);
  set(results[1]) = std::tuple(1, 100, 60, 2, 100.0025);
  MergedJob job;
  MergeJob(results, {RebasedRecords(rank0, 3, 1000), RebasedRecords(rank1, 1, 500000)}, &job);

  const SummaryInput& in = job.input;
  // The job lasts from the common start to the latest end.
  EXPECT_EQ(std::tuple(in.nFrames, in.bytes, in.durationTicks, in.droppedFrames),
            std::tuple(4, 400, 60, 3));
  // A frame started in the start's tick still counts; rank 1's frame is 5
  // ticks after rank 0's first; rank 0's never-started frame comes last.
  const TIME_STATS* m = in.stats;
  EXPECT_EQ(std::tuple(m[0].Start > 0, m[1].EoClose, m[2].Start - m[0].Start, m[3].Start),
            std::tuple(true, 0, 5, 0));
  DurationStats file = ComputeDuration(m, 4, Duration::File, 1.0 / 1000);
  EXPECT_EQ(std::pair(file.min, file.max), std::pair(11.0, 46.0));  // rank 1's 46-tick frame

  testing::internal::CaptureStdout();
  PrintJobTable(results, 1.0 / 1000);
  std::string table = testing::internal::GetCapturedStdout();
  EXPECT_NE(table.find("Job frames ............ 4 (2 ranks)\n"
                       "  Job bandwidth ......... 0.01 MB/s (400 bytes in 0.060 s)\n"
                       "  Start spread .......... 2.500 ms\n"),
            std::string::npos)
      << table;
}
