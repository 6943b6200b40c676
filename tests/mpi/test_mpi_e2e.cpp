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

namespace fs = std::filesystem;
constexpr int kJobSeconds = 60;

// The job table's "Job frames" figure, or -1.
int JobFrames(const std::string& out) {
  size_t at = out.find("Job frames ............ ");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 24);
}

// "rank0003": a rank's directory below the target, and its log's infix.
std::string RankName(int rank) {
  char name[16];
  snprintf(name, sizeof name, "rank%04d", rank);
  return name;
}

// A job's exit status, a text its stderr holds, and how many job summaries
// its stdout holds (-1: not checked).
void ExpectJob(const RunResult& r, int status, const std::string& errHas, int summaries) {
  EXPECT_EQ(r.status, status) << r.out << r.err;
  EXPECT_NE(r.err.find(errHas), std::string::npos) << r.err;
  EXPECT_TRUE(summaries < 0 || CountOf(r.out, "Overall frame rate") == summaries) << r.out;
}

// Turns a frame file into a directory, so that opening it fails.
void Spoil(const std::string& frame) {
  fs::remove(frame);
  fs::create_directory(frame);
}

class MpiRun : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
    setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
#ifdef ORDAVI_RANK_SANITIZER_ENV
    setenv(ORDAVI_RANK_SANITIZER_ENV, ORDAVI_RANK_SANITIZER_OPTIONS, 1);
#endif
    fs::create_directories(pidDir_);
  }

  // Each rank writes its pid to pids/pid.R before it becomes the binary
  // (exec keeps the pid), so a test can find its semaphore name or kill it.
  std::vector<std::string> Rank(const char* binary, const std::vector<std::string>& args) {
    std::vector<std::string> v = {
        "sh", "-c", "echo $$ > '" + pidDir_ + "'/pid.$OMPI_COMM_WORLD_RANK; exec \"$0\" \"$@\"",
        binary};
    v.insert(v.end(), args.begin(), args.end());
    return v;
  }

  RunResult Mpirun(int np, const std::vector<std::string>& rankCommand, int interruptAfterMs) {
    // --foreground: timeout passes a signal to mpirun alone. Without it,
    // timeout also signals its whole process group, mpirun gets Ctrl-C twice
    // and kills the ranks at once, as it does on a second Ctrl-C.
    std::vector<std::string> v = {"--foreground", "-k", "5", std::to_string(kJobSeconds),
                                  ORDAVI_MPIEXEC};
    if (ORDAVI_MPIRUN_OVERSUBSCRIBE[0]) v.push_back(ORDAVI_MPIRUN_OVERSUBSCRIBE);
    v.insert(v.end(), {"-np", std::to_string(np)});
    v.insert(v.end(), rankCommand.begin(), rankCommand.end());
    return RunProgram(ORDAVI_TIMEOUT, v, kJobSeconds + 15, interruptAfterMs);
  }

  // Runs ordavi-mpi on np ranks and notes their pids.
  RunResult Run(int np, const std::vector<std::string>& args, int interruptAfterMs = -1) {
    for (auto& e : fs::directory_iterator(pidDir_)) fs::remove(e);
    RunResult r = Mpirun(np, Rank(ORDAVI_MPI_BINARY, args), interruptAfterMs);
    pids_.clear();
    for (int i = 0; i < np; i++) pids_.push_back(PidOf(i));
    return r;
  }

  int PidOf(int rank) {
    return std::atoi(ReadFile(pidDir_ + "/pid." + std::to_string(rank)).c_str());
  }

  void ExpectNoSemaphoreLeft() {
    for (int pid : pids_) EXPECT_TRUE(pid != 0 && !SemaphoreLeft(pid)) << "rank pid " << pid;
  }

  TempDir dir_;
  std::string pidDir_ = dir_ / "pids";
  std::vector<int> pids_;  // of the last job's ranks
};

// Write then read back on per-rank targets with each engine: one banner and
// summary, the job's frames over every rank, each rank's frames and log, no
// semaphore name left; the per-rank logs merge into one job report.
TEST_F(MpiRun, WriteThenReadOnPerRankTargets) {
  const std::tuple<int, int, bool> cases[] = {{2, 0, false}, {4, 0, true},  {2, 1, true},
                                              {4, 1, false}, {2, 2, false}, {4, 2, true}};
  const int kFrames = 12;
  for (auto [np, engine, paced] : cases) {
    const Engine& eng = AllEngines().at(size_t(engine));
    std::string target = dir_ / (eng.name + std::to_string(np));
    for (std::string mode : {"write", "read"}) {
      SCOPED_TRACE(target + " " + mode + (paced ? " paced" : ""));
      std::vector<std::string> args = {
          "-u", "0", "-n", std::to_string(kFrames), "-x", target + "." + mode + ".csv", target};
      if (paced) args.insert(args.begin(), {"-f", "100"});
      if (mode == "write") args.insert(args.begin(), {"-w", "64"});
      RunResult j = Run(np, With(eng, args));
      ASSERT_EQ(j.status, 0) << j.out << j.err;
      EXPECT_EQ(std::tuple(CountOf(j.out, "Ordavi 4.23 for Linux"),
                           CountOf(j.out, mode == "write" ? "Writing frames" : "Reading frames"),
                           CountOf(j.out, "Overall frame rate"), JobFrames(j.out), j.err),
                std::tuple(1, 1, 1, np * kFrames, ""))
          << j.out;
      for (int r = 0; r < np; r++) {
        EXPECT_TRUE(AllBytesAre(target + "/" + RankName(r) + "/frame000011.tst", eng.fill)) << r;
        EXPECT_EQ(LogRows(target + "." + mode + "." + RankName(r) + ".csv").size(),
                  size_t(kFrames));
      }
      ExpectNoSemaphoreLeft();
    }
  }
  if (ORDAVI_REPORT_BINARY[0] == '\0')
    GTEST_SKIP() << "ordavi-report is not part of this build: the merge of the per-rank logs "
                    "(log.rankNNNN.csv) into one job report is not tested";
  std::string log = dir_ / "sync2.read.rank000";
  RunResult rep = RunProgram(
      ORDAVI_TIMEOUT, {"--foreground", "60", ORDAVI_REPORT_BINARY, log + "0.csv", log + "1.csv"});
  EXPECT_EQ(rep.status, 0) << rep.err;
  EXPECT_NE(rep.out.find("Job of 2 logs side by side: 24 frames counted"), std::string::npos)
      << rep.out;
}

// Every rank reads the same frames (and the same stream) with --shared; a
// shared write is refused; so are ranks of different builds, and a job
// where one rank fails its set-up ends with status 1 before any measurement.
TEST_F(MpiRun, SharedTargetAndRefusedStarts) {
  std::string frames = dir_ / "frames";
  ASSERT_EQ(Run(1, {"-u", "0", "-w", "64", "-n", "8", frames}).status, 0);
  ASSERT_EQ(Run(1, {"-u", "0", "-s", "-w", "64", "-n", "8", frames}).status, 0);
  for (std::vector<std::string> shared :
       {std::vector<std::string>{"-n", "8", frames + "/rank0000"},
        std::vector<std::string>{"-s", "-z", "64", "-n", "8", frames + ".rank0000"}}) {
    shared.insert(shared.begin(), {"-u", "0", "--shared"});
    RunResult j = Run(4, shared);
    ExpectJob(j, 0, "", 1);
    EXPECT_EQ(JobFrames(j.out), 32);
    EXPECT_NE(j.out.find("every rank on the same target"), std::string::npos);
  }

  RunResult w = Run(2, {"-u", "0", "-w", "64", "-n", "8", "--shared", frames});
  ExpectJob(w, 1, "--shared is for read tests", 0);
  EXPECT_EQ(CountOf(w.err, "Usage: ordavi"), 1) << "one usage text for the job";

  std::vector<std::string> args = {"-u", "0", "-w", "64", "-n", "4", dir_ / "m"};
  std::vector<std::string> mpmd = Rank(ORDAVI_MPI_BINARY, args);
  mpmd.insert(mpmd.end(), {":", "-np", "1"});
  std::vector<std::string> other = Rank(ORDAVI_MPI_OTHER_BINARY, args);
  mpmd.insert(mpmd.end(), other.begin(), other.end());
  RunResult mixed = Mpirun(1, mpmd, -1);
  ExpectJob(mixed, 1, "every rank must run the same build", 0);
  EXPECT_FALSE(fs::exists(dir_ / "m"));

  RunResult j = Run(2, {"-u", "0", "-f", "25", "-n", "4", frames});  // rank 1 has no frames
  ExpectJob(j, 1, "ordavi-mpi rank 1: Cannot get size of file", 0);
  ExpectNoSemaphoreLeft();
}

// An error on one rank, and Ctrl-C on mpirun, stop every rank within about
// an update interval; rank 0 still prints the job summary with every rank's
// frames; no semaphore name is left.
TEST_F(MpiRun, StopsReachEveryRank) {
  std::string target = dir_ / "t";
  ASSERT_EQ(Run(2, {"-u", "0", "-w", "64", "-n", "400", target}).status, 0);
  Spoil(target + "/rank0001/frame000100.tst");
  RunResult err = Run(2, {"-u", "0", "-f", "50", "-n", "400", target});
  ExpectJob(err, 0, "ordavi-mpi rank 1: Cannot open file", 1);
  // Rank 1 read 100 frames at 50 fps; rank 0 stopped about then, not at 400.
  EXPECT_TRUE(JobFrames(err.out) >= 150 && JobFrames(err.out) < 300) << err.out;
  ExpectNoSemaphoreLeft();

  RunResult brk = Run(4, {"-u", "1", "-w", "64", "-f", "50", "-n", "5000", dir_ / "b"}, 2500);
  EXPECT_EQ(CountOf(brk.out, "Overall frame rate"), 1) << brk.out << brk.err;
  EXPECT_NE(brk.out.find("User break, stopping"), std::string::npos);
  EXPECT_TRUE(JobFrames(brk.out) > 4 * 50 && JobFrames(brk.out) < 4 * 50 * 10) << brk.out;
  ExpectNoSemaphoreLeft();
}

// A rank lost after the start (killed outright, or a fatal failure) ends
// the job with mpirun's message, without a hang or a semaphore name left.
TEST_F(MpiRun, RankLostAfterStartEndsTheJob) {
  std::string target = dir_ / "k";
  RunResult j;
  std::thread job([&] { j = Run(2, {"-u", "0", "-w", "64", "-f", "50", "-n", "5000", target}); });
  // Kill rank 1 once it has measured some frames.
  std::string tenth = target + "/rank0001/frame000010.tst";
  for (int i = 0; i < 1000 && !(FileExists(tenth) && PidOf(1) > 0); i++) usleep(20000);
  int pid = PidOf(1);
  if (pid > 0) kill(pid, SIGKILL);
  job.join();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(j.status != 0 && j.status != 124) << "124: the job hung until timeout";
  EXPECT_NE(j.err.find("signal 9"), std::string::npos) << j.err;
  ExpectNoSemaphoreLeft();

  // Rank 1's second frame fails while the asynchronous engine fills its ring.
  Spoil(target + "/rank0001/frame000001.tst");
  RunResult f = Run(2, {"-u", "0", "-a", "3", "-f", "10", "-n", "20", target});
  ExpectJob(f, 1, "ordavi-mpi rank 1: ***FATAL***", -1);
  ExpectNoSemaphoreLeft();  // even of a rank that mpirun killed
}

}  // namespace
