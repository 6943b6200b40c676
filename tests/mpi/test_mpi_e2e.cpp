// End-to-end tests of ordavi-mpi: real mpirun jobs of 2 and 4 ranks on one
// machine, small frames on disk. Every job runs under timeout(1); the harness
// runs that command and sends it the signals, which timeout passes on to
// mpirun.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "harness.h"

namespace {

constexpr int kJobSeconds = 60;

// Each rank writes its pid to DIR/pid.R before it becomes ordavi-mpi (exec
// keeps the pid), so a test can find the ranks' semaphore names or kill one.
std::vector<std::string> RankCommand(const std::string& pidDir, const char* binary,
                                     const std::vector<std::string>& args) {
  std::vector<std::string> v = {
      "sh", "-c", "echo $$ > '" + pidDir + "'/pid.$OMPI_COMM_WORLD_RANK; exec \"$0\" \"$@\"",
      binary};
  v.insert(v.end(), args.begin(), args.end());
  return v;
}

struct Job {
  RunResult r;
  std::vector<int> pids;  // by rank
};

class MpiRun : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
    setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
#ifdef ORDAVI_RANK_SANITIZER_ENV
    setenv(ORDAVI_RANK_SANITIZER_ENV, ORDAVI_RANK_SANITIZER_OPTIONS, 1);
#endif
    std::filesystem::create_directories(pidDir_);
  }

  std::vector<std::string> MpirunArgs(int np, const std::vector<std::string>& rankCommand) {
    // --foreground: timeout passes a signal to mpirun alone. Without it,
    // timeout also signals its whole process group, mpirun gets Ctrl-C twice
    // and kills the ranks at once, as it does on a second Ctrl-C.
    std::vector<std::string> v = {"--foreground", "-k", "5", std::to_string(kJobSeconds),
                                  ORDAVI_MPIEXEC};
    if (ORDAVI_MPIRUN_OVERSUBSCRIBE[0]) v.push_back(ORDAVI_MPIRUN_OVERSUBSCRIBE);
    v.push_back("-np");
    v.push_back(std::to_string(np));
    v.insert(v.end(), rankCommand.begin(), rankCommand.end());
    return v;
  }

  Job Run(int np, const std::vector<std::string>& args, int interruptAfterMs = -1) {
    for (auto& e : std::filesystem::directory_iterator(pidDir_)) std::filesystem::remove(e);
    Job j;
    j.r = RunProgram(ORDAVI_TIMEOUT, MpirunArgs(np, RankCommand(pidDir_, ORDAVI_MPI_BINARY, args)),
                     kJobSeconds + 15, interruptAfterMs);
    j.pids = Pids(np);
    return j;
  }

  std::vector<int> Pids(int np) {
    std::vector<int> pids;
    for (int r = 0; r < np; r++) {
      std::string s = ReadFile(pidDir_ + "/pid." + std::to_string(r));
      pids.push_back(s.empty() ? 0 : std::atoi(s.c_str()));
    }
    return pids;
  }

  static void ExpectNoSemaphoreLeft(const Job& j) {
    for (int pid : j.pids) {
      EXPECT_NE(pid, 0);
      EXPECT_FALSE(SemaphoreLeft(pid)) << "rank pid " << pid;
    }
  }

  // The job table's "Job frames" figure, or -1.
  static int JobFrames(const std::string& out) {
    size_t at = out.find("Job frames ............ ");
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 24);
  }

  TempDir dir_;
  std::string pidDir_ = dir_ / "pids";
};

struct Case {
  int np;
  const char* engine;  // index into AllEngines()
  bool paced;
};

// Write then read back on per-rank targets: one banner and engine line, the
// job's frame count over every rank, each rank's frames and log, no
// semaphore name left.
TEST_F(MpiRun, WriteThenReadOnPerRankTargets) {
  const Case cases[] = {{2, "sync", false},  {4, "sync", true},      {2, "async", true},
                        {4, "async", false}, {2, "threaded", false}, {4, "threaded", true}};
  const int kFrames = 12;
  for (const Case& c : cases) {
    const Engine* eng = nullptr;
    for (const Engine& e : AllEngines())
      if (std::string(e.name) == c.engine) eng = &e;
    ASSERT_NE(eng, nullptr) << c.engine;
    SCOPED_TRACE(std::string(c.engine) + " np " + std::to_string(c.np) + (c.paced ? " paced" : ""));
    std::string target = dir_ / (std::string(c.engine) + std::to_string(c.np));
    std::vector<std::string> pacing = {"-u", "0"};
    if (c.paced) pacing = {"-u", "0", "-f", "100"};

    for (const char* mode : {"write", "read"}) {
      std::vector<std::string> args = pacing;
      if (std::string(mode) == "write") args.insert(args.end(), {"-w", "64"});
      args.insert(args.end(),
                  {"-n", std::to_string(kFrames), "-x", target + "." + mode + ".csv", target});
      Job j = Run(c.np, With(*eng, args));
      SCOPED_TRACE(mode);
      ASSERT_EQ(j.r.status, 0) << j.r.out << j.r.err;
      EXPECT_EQ(CountOf(j.r.out, "Ordavi 4.23 for Linux"), 1);
      EXPECT_EQ(
          CountOf(j.r.out, std::string(mode) == "write" ? "Writing frames" : "Reading frames"), 1);
      EXPECT_EQ(CountOf(j.r.out, "Overall frame rate"), 1);
      EXPECT_EQ(JobFrames(j.r.out), c.np * kFrames) << j.r.out;
      EXPECT_EQ(j.r.err, "");
      for (int r = 0; r < c.np; r++) {
        char rank[16];
        snprintf(rank, sizeof rank, "rank%04d", r);
        EXPECT_TRUE(AllBytesAre(target + "/" + rank + "/frame000011.tst", eng->fill)) << rank;
        EXPECT_EQ(LogRows(target + "." + mode + "." + rank + ".csv").size(), size_t(kFrames))
            << rank;
      }
      ExpectNoSemaphoreLeft(j);
    }
  }
}

// Every rank reads the same frames (and the same stream) with --shared; a
// shared write is refused.
TEST_F(MpiRun, SharedTarget) {
  std::string frames = dir_ / "frames";
  ASSERT_EQ(Run(1, {"-u", "0", "-w", "64", "-n", "8", frames}).r.status, 0);
  ASSERT_EQ(Run(1, {"-u", "0", "-s", "-w", "64", "-n", "8", frames}).r.status, 0);

  struct {
    std::vector<std::string> args;
  } reads[] = {{{"-u", "0", "-n", "8", "--shared", frames + "/rank0000"}},
               {{"-u", "0", "-s", "-z", "64", "-n", "8", "--shared", frames + ".rank0000"}}};
  for (const auto& rd : reads) {
    Job j = Run(4, rd.args);
    EXPECT_EQ(j.r.status, 0) << j.r.err;
    EXPECT_EQ(JobFrames(j.r.out), 32) << j.r.out;
    EXPECT_NE(j.r.out.find("every rank on the same target"), std::string::npos);
  }

  Job w = Run(2, {"-u", "0", "-w", "64", "-n", "8", "--shared", frames});
  EXPECT_EQ(w.r.status, 1);
  EXPECT_NE(w.r.err.find("--shared is for read tests"), std::string::npos) << w.r.err;
  EXPECT_EQ(CountOf(w.r.err, "Usage: ordavi"), 1) << "one usage text for the job";
}

// An error on one rank, and Ctrl-C on mpirun, stop every rank within about
// an update interval; rank 0 still prints the job summary with every rank's
// frames; no semaphore name is left.
TEST_F(MpiRun, StopsReachEveryRank) {
  std::string target = dir_ / "t";
  Job w = Run(2, {"-u", "0", "-w", "64", "-n", "400", target});
  ASSERT_EQ(w.r.status, 0) << w.r.err;
  // Rank 1's frame 100 becomes a directory: its open fails there.
  std::string bad = target + "/rank0001/frame000100.tst";
  std::filesystem::remove(bad);
  std::filesystem::create_directory(bad);

  Job err = Run(2, {"-u", "0", "-f", "50", "-n", "400", target});
  EXPECT_EQ(err.r.status, 0) << err.r.err;
  EXPECT_NE(err.r.err.find("ordavi-mpi rank 1: Cannot open file"), std::string::npos) << err.r.err;
  EXPECT_EQ(CountOf(err.r.out, "Overall frame rate"), 1) << err.r.out;
  // Rank 0 stopped long before its 400 frames (rank 1 read 100 at 50 fps;
  // rank 0 may be a little behind or ahead of it).
  int frames = JobFrames(err.r.out);
  EXPECT_GE(frames, 150);
  EXPECT_LT(frames, 300);
  ExpectNoSemaphoreLeft(err);

  Job brk = Run(4, {"-u", "1", "-w", "64", "-f", "50", "-n", "5000", dir_ / "b"}, 2500);
  EXPECT_NE(brk.r.out.find("User break, stopping"), std::string::npos);
  EXPECT_EQ(CountOf(brk.r.out, "Overall frame rate"), 1) << brk.r.out << brk.r.err;
  EXPECT_GT(JobFrames(brk.r.out), 4 * 50);
  EXPECT_LT(JobFrames(brk.r.out), 4 * 50 * 10);
  ExpectNoSemaphoreLeft(brk);
}

// A rank lost after the start (killed outright, or a fatal failure): the
// job ends with mpirun's message, no hang.
TEST_F(MpiRun, RankLostAfterStartEndsTheJob) {
  std::string target = dir_ / "k";
  Job j;
  std::thread job([&] { j = Run(2, {"-u", "0", "-w", "64", "-f", "50", "-n", "5000", target}); });
  std::string pid1 = pidDir_ + "/pid.1";
  int pid = 0;
  for (int i = 0; i < 200 && pid == 0; i++) {
    usleep(50000);
    pid = std::atoi(ReadFile(pid1).c_str());
  }
  usleep(1500000);
  if (pid > 0) kill(pid, SIGKILL);
  job.join();
  ASSERT_GT(pid, 0);
  EXPECT_NE(j.r.status, 0);
  EXPECT_NE(j.r.status, 124) << "the job hung until timeout";
  EXPECT_NE(j.r.err.find("signal 9"), std::string::npos) << j.r.err;
  ExpectNoSemaphoreLeft(j);

  // A fatal failure after the start (rank 1's second frame, while the
  // asynchronous engine fills its ring) aborts the job at once.
  std::string bad = target + "/rank0001/frame000001.tst";
  std::filesystem::remove(bad);
  std::filesystem::create_directory(bad);
  Job f = Run(2, {"-u", "0", "-a", "3", "-f", "10", "-n", "20", target});
  EXPECT_EQ(f.r.status, 1);
  EXPECT_NE(f.r.err.find("ordavi-mpi rank 1: ***FATAL***"), std::string::npos) << f.r.err;
  // Even a rank that mpirun kills leaves no semaphore name.
  ExpectNoSemaphoreLeft(f);
}

// Ranks of different builds refuse to run together; a rank that fails its
// set-up ends the job with status 1 before anything is measured.
TEST_F(MpiRun, RefusedStarts) {
  std::vector<std::string> args = {"-u", "0", "-w", "64", "-n", "4", dir_ / "m"};
  std::vector<std::string> mpmd = RankCommand(pidDir_, ORDAVI_MPI_BINARY, args);
  mpmd.insert(mpmd.end(), {":", "-np", "1"});
  std::vector<std::string> other = RankCommand(pidDir_, ORDAVI_MPI_OTHER_BINARY, args);
  mpmd.insert(mpmd.end(), other.begin(), other.end());
  RunResult mixed = RunProgram(ORDAVI_TIMEOUT, MpirunArgs(1, mpmd), kJobSeconds + 15);
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.err.find("every rank must run the same build"), std::string::npos) << mixed.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "m"));

  // Rank 1 finds no frames to read.
  std::string target = dir_ / "r";
  ASSERT_EQ(Run(1, {"-u", "0", "-w", "64", "-n", "4", target}).r.status, 0);
  Job j = Run(2, {"-u", "0", "-f", "25", "-n", "4", target});
  EXPECT_EQ(j.r.status, 1);
  EXPECT_NE(j.r.err.find("ordavi-mpi rank 1: Cannot get size of file"), std::string::npos)
      << j.r.err;
  EXPECT_EQ(j.r.out.find("Overall frame rate"), std::string::npos);
  ExpectNoSemaphoreLeft(j);
}

TEST_F(MpiRun, PerRankLogsMergeWithOrdaviReport) {
  if (ORDAVI_REPORT_BINARY[0] == '\0')
    GTEST_SKIP() << "ordavi-report is not part of this build: the merge of the per-rank logs "
                    "(log.rankNNNN.csv) into one job report is not tested";
  std::string target = dir_ / "j";
  ASSERT_EQ(Run(2, {"-u", "0", "-w", "64", "-n", "10", target}).r.status, 0);
  ASSERT_EQ(Run(2, {"-u", "0", "-f", "25", "-n", "10", "-x", dir_ / "job.csv", target}).r.status,
            0);
  RunResult rep =
      RunProgram(ORDAVI_TIMEOUT, {"--foreground", "60", ORDAVI_REPORT_BINARY,
                                  dir_ / "job.rank0000.csv", dir_ / "job.rank0001.csv"});
  EXPECT_EQ(rep.status, 0) << rep.err;
  EXPECT_NE(rep.out.find("Job of 2 logs side by side: 20 frames counted"), std::string::npos)
      << rep.out;
}

}  // namespace
