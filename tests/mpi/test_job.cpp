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

// Two ranks on clocks with different origins, reduced as MPI would: the
// job's summary equals one run's over both ranks' frames (each rank's walk
// stops at its first never-started frame and skips unfinished ones; averages
// over all frames), without any rank's records on rank 0. The job table adds
// up every rank and shows the spread of their wall-clock starts.
TEST(MpiJob, FiguresByReductionAndJobTable) {
  auto rec = [](int64_t s, int64_t o, int64_t w, int64_t c) {
    TIME_STATS t{};
    std::tie(t.Start, t.EoOpenCreate, t.EoReadWrite, t.EoClose) = std::tuple(s, o, w, c);
    return t;
  };
  TIME_STATS rank0[] = {rec(1000, 1001, 1010, 1011), rec(1011, 1012, 1020, 0), TIME_STATS{},
                        rec(1030, 1031, 1032, 1033)};
  TIME_STATS rank1[] = {rec(500005, 500006, 500050, 500051)};
  RankFigures job = FiguresOfRank(rank0, 4, 300, 1, 30, QueueStats{1, 2.5, 4});
  AddFigures(&job, FiguresOfRank(rank1, 1, 100, 2, 60, QueueStats{0, 1.0, 7}));
  DurationStats phases[4];
  SummaryInput in;
  ASSERT_TRUE(JobSummary(job, 1.0 / 1000, phases, &in));
  EXPECT_EQ(std::tuple(in.nFrames, in.bytes, in.durationTicks, in.droppedFrames, in.queue.max),
            std::tuple(5, 400, 60, 3, 7));
  EXPECT_DOUBLE_EQ(in.queue.avg, (2.5 * 4 + 1.0) / 5);
  // The same frames as one run: rank 0's two counted frames, then rank 1's.
  TIME_STATS one[] = {rank0[0], rank0[1], rank1[0], TIME_STATS{}, TIME_STATS{}};
  for (Duration d : {Duration::File, Duration::Open, Duration::Io, Duration::Close}) {
    DurationStats want = ComputeDuration(one, 5, d, 1.0 / 1000), got = phases[int(d)];
    EXPECT_EQ(std::tuple(got.min, got.avg, got.max), std::tuple(want.min, want.avg, want.max));
  }
  EXPECT_EQ(std::pair(phases[0].min, phases[0].max), std::pair(11.0, 46.0));
  // A job of more frames than a summary counts is refused, not wrapped.
  job.sum[RankFigures::kFrames] = int64_t(1) << 31;
  EXPECT_FALSE(JobSummary(job, 1.0 / 1000, phases, &in));

  std::vector<RankResult> results(2);
  auto set = [](RankResult& r) {
    return std::tie(r.nFrames, r.bytes, r.durationTicks, r.dropped, r.wallStartSec);
  };
  set(results[0]) = std::tuple(3, 300, 30, 1, 100.0);
  set(results[1]) = std::tuple(1, 100, 60, 2, 100.0025);
  testing::internal::CaptureStdout();
  PrintJobTable(results, 1.0 / 1000);
  std::string table = testing::internal::GetCapturedStdout();
  EXPECT_NE(table.find("Job frames ............ 4 (2 ranks)\n"
                       "  Job bandwidth ......... 0.01 MB/s (400 bytes in 0.060 s)\n"
                       "  Start spread .......... 2.500 ms\n"),
            std::string::npos)
      << table;
}
