// End-to-end tests of ordavi-mpi: real mpirun jobs of 2 and 4 ranks on one
// machine, small frames on disk, each job under timeout(1), which passes the
// harness's signals on to mpirun.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "harness.h"
#include "job.h"

namespace {

namespace fs = std::filesystem;

// The job table's "Job frames" figure, or -1.
int JobFrames(const std::string& out) {
  size_t at = out.find("Job frames ............ ");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 24);
}

// The Frames column of the job table, one entry per rank.
std::vector<int> RankFrames(const std::string& out) {
  std::vector<int> frames;
  size_t at = out.find("  Rank  Host");
  for (const std::string& line : SplitLines(at == std::string::npos ? "" : out.substr(at))) {
    int rank = 0, n = 0;
    char host[64];
    if (sscanf(line.c_str(), " %d %63s %d", &rank, host, &n) == 3) frames.push_back(n);
  }
  return frames;
}

// A job's exit status, a text its stderr holds, and how many job summaries
// its stdout holds (-1: not checked).
void ExpectJob(const RunResult& r, int status, const std::string& errHas, int summaries) {
  EXPECT_EQ(r.status, status) << r.out << r.err;
  EXPECT_TRUE(Contains(r.err, errHas)) << r.err;
  EXPECT_TRUE(summaries < 0 || CountOf(r.out, "Overall frame rate") == summaries) << r.out;
}

class MpiRun : public ::testing::Test {
 protected:
  // Runs ordavi-mpi on np ranks (and `other`, a second build, on one more);
  // every rank ran and left no semaphore name of its own. Each rank writes its pid to
  // pids/pid.R before it becomes the binary (exec keeps the pid). The flag
  // --foreground makes timeout pass a signal to mpirun alone: signalled with
  // its whole group, mpirun would get Ctrl-C twice and kill the ranks at once.
  RunResult Run(int np, const std::vector<std::string>& args, RunOptions o = {},
                const char* other = nullptr) {
    AllowMpirunAsRoot();
    fs::remove_all(pidDir_);
    fs::create_directories(pidDir_);
    std::vector<std::string> v = {"--foreground", "-k", "5", "60", ORDAVI_MPIEXEC};
    if (ORDAVI_MPIRUN_OVERSUBSCRIBE[0]) v.push_back(ORDAVI_MPIRUN_OVERSUBSCRIBE);
    for (const char* binary : {ORDAVI_MPI_BINARY, other}) {
      if (binary == nullptr) break;
      if (binary == other) v.push_back(":");
      v.insert(
          v.end(),
          {"-np", std::to_string(binary == other ? 1 : np), "sh", "-c",
           "echo $$ > '" + pidDir_ + "'/pid.$OMPI_COMM_WORLD_RANK; exec \"$0\" \"$@\"", binary});
      v.insert(v.end(), args.begin(), args.end());
    }
    o.timeoutSec = 75;
    auto start = fs::file_time_type::clock::now() - std::chrono::seconds(1);
    RunResult r = RunProgram(ORDAVI_TIMEOUT, v, o);
    // A stale name of a long-gone process that had a rank's pid is older.
    for (int i = 0; i < np; i++) {
      std::string sem = "/dev/shm/sem.ordavi_" + std::to_string(PidOf(i)) + "\n";
      EXPECT_TRUE(PidOf(i) != 0 && !(SemaphoreLeft(PidOf(i)) && fs::last_write_time(sem) > start))
          << "rank " << i << " " << PidOf(i);
    }
    return r;
  }

  int PidOf(int rank) {
    return std::atoi(ReadFile(pidDir_ + "/pid." + std::to_string(rank)).c_str());
  }

  TempDir dir_;
  std::string pidDir_ = dir_ / "pids";
};

// Each engine writes, reads back and reads with --shared (every rank rank
// 0's frames or stream): one banner and summary, the job's frames over every
// rank, each rank's data and log; the per-rank logs merge into one report.
TEST_F(MpiRun, PerRankAndSharedTargets) {
  const std::tuple<int, int, bool, bool> cases[] = {
      {2, 0, false, false}, {4, 1, true, false}, {4, 2, false, true}};  // np, engine, -f 100, -s
  for (auto [np, engine, paced, stream] : cases) {
    const Engine& eng = AllEngines().at(size_t(engine));
    std::string target = dir_ / (eng.name + std::to_string(np));
    for (std::string mode : {"write", "read", "shared"}) {
      SCOPED_TRACE(target + " " + mode);
      std::string w = mode == "write" ? "-w" : "-z", log = target + "." + mode + ".csv";
      std::vector<std::string> args = {"-u", "0",  "-n", "12", "-f", paced ? "100" : "0",
                                       w,    "64", "-x", log};
      if (stream) args.push_back("-s");
      if (mode == "shared") args.push_back("--shared");
      args.push_back(mode != "shared" ? target : target + (stream ? ".rank0000" : "/rank0000"));
      RunResult j = Run(np, With(eng, args));
      EXPECT_EQ(std::tuple(j.status, CountOf(j.out, "Ordavi 4.23 for Linux"),
                           CountOf(j.out, mode == "write" ? "Writing frames" : "Reading frames"),
                           CountOf(j.out, "Overall frame rate"), JobFrames(j.out),
                           Contains(j.out, "every rank on the same target"), j.err),
                std::tuple(0, 1, 1, 1, np * 12, mode == "shared", ""))
          << j.out;
      for (int r = 0; r < np; r++) {
        std::string rank = ".rank000" + std::to_string(r), data = target + rank;
        if (!stream) data = target + "/" + rank.substr(1) + "/frame000011.tst";
        EXPECT_TRUE(AllBytesAre(data, eng.fill)) << data;
        EXPECT_EQ(LogRows(target + "." + mode + rank + ".csv").size(), 12u) << r;
      }
    }
  }
  if (!*ORDAVI_REPORT_BINARY) GTEST_SKIP() << "SKIPPED: no ordavi-report to merge the logs with";
  std::string log = dir_ / "sync2.read.rank000";
  RunResult rep = RunProgram(ORDAVI_REPORT_BINARY, {log + "0.csv", log + "1.csv"});
  EXPECT_EQ(rep.status, 0) << rep.err;
  EXPECT_TRUE(Contains(rep.out, "Job of 2 logs side by side: 24 frames counted")) << rep.out;
}

// Refused starts end with status 1 before any measurement: a shared write,
// ranks of different builds, a rank without frames. An error on one rank
// and Ctrl-C on mpirun stop every rank within about an update interval with
// the job summary; a rank killed or failing fatally ends the job, no hang.
TEST_F(MpiRun, RefusalsStopsAndLostRanks) {
  std::string t = dir_ / "t";
  ASSERT_EQ(Run(2, {"-u", "0", "-w", "64", "-n", "400", t}).status, 0);
  RunResult w = Run(2, {"-u", "0", "-w", "64", "-n", "8", "--shared", t});
  ExpectJob(w, 1, "--shared is for read tests", 0);
  EXPECT_EQ(CountOf(w.err, "Usage: ordavi"), 1) << "one usage text for the job";
  ExpectJob(Run(4, {"-u", "0", "-f", "25", "-n", "4", t}), 1,
            "ordavi-mpi rank 2: Cannot get size of file", 0);  // ranks 2 and 3 have no frames
  ExpectJob(Run(1, {"-u", "0", "-w", "64", "-n", "4", dir_ / "m"}, {}, ORDAVI_MPI_OTHER_BINARY), 1,
            "every rank must run the same build", 0);
  EXPECT_FALSE(fs::exists(dir_ / "m"));

  // Rank 1 reads 100 frames at 50 fps; rank 0 stops about then, not at 400.
  fs::remove(t + "/rank0001/frame000100.tst");
  fs::create_directory(t + "/rank0001/frame000100.tst");
  RunResult err = Run(2, {"-u", "0", "-f", "50", "-n", "400", t});
  ExpectJob(err, 2, "ordavi-mpi rank 1: Cannot open file", 1);
  EXPECT_TRUE(JobFrames(err.out) >= 150 && JobFrames(err.out) < 300) << err.out;
  // Rank 1's second frame fails while the asynchronous engine fills its ring.
  fs::remove(t + "/rank0001/frame000001.tst");
  fs::create_directory(t + "/rank0001/frame000001.tst");
  ExpectJob(Run(2, {"-u", "0", "-a", "3", "-f", "10", "-n", "20", t}), 1,
            "ordavi-mpi rank 1: ***FATAL***", -1);

  RunOptions ctrlC;  // once rank 3 has written 60 frames, and so have the others about
  ctrlC.whileRunning = [&](int pid) {
    for (int i = 0; i < 1500 && !FileExists(dir_ / "b/rank0003/frame000060.tst"); i++)
      usleep(20000);
    kill(pid, SIGINT);
  };
  RunResult brk = Run(4, {"-u", "1", "-w", "64", "-f", "50", "-n", "5000", dir_ / "b"}, ctrlC);
  EXPECT_EQ(CountOf(brk.out, "Overall frame rate"), 1) << brk.out << brk.err;
  EXPECT_TRUE(Contains(brk.out, "User break, stopping")) << brk.out;
  EXPECT_TRUE(JobFrames(brk.out) > 4 * 45 && JobFrames(brk.out) < 4 * 500) << brk.out;

  // Rank 1 killed outright once it has measured some frames.
  RunOptions kill9;
  int killed = 0;
  kill9.whileRunning = [&](int) {
    std::string tenth = dir_ / "k/rank0001/frame000010.tst";
    for (int i = 0; i < 1000 && !(FileExists(tenth) && PidOf(1) > 0); i++) usleep(20000);
    if ((killed = PidOf(1)) > 0) kill(killed, SIGKILL);
  };
  RunResult k = Run(2, {"-u", "0", "-w", "64", "-f", "50", "-n", "5000", dir_ / "k"}, kill9);
  ASSERT_GT(killed, 0);
  EXPECT_TRUE(k.status != 0 && k.status != 124) << "124: the job hung until timeout";
  EXPECT_TRUE(Contains(k.err, "signal 9")) << k.err;
}

// True once `pid` has SIGKILL pending (it waits in an uninterruptible
// call) or is gone.
bool KillPendingOrGone(int pid) {
  std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("ShdPnd:\t");
  return at == std::string::npos || (std::stoull(status.substr(at + 8), nullptr, 16) & 0x100);
}

// Ctrl-C on a job of a million frames per rank: the summary and the table
// come first, then the line saying the logs are being written; every log is
// whole (a row for each frame the table gives its rank, up to the last) or
// absent, never cut, and nothing is left under another name. With the logs'
// file system frozen from before the Ctrl-C until mpirun has killed the
// ranks, no log can be whole in time: none exists, and no line says the
// logs were written. SIGUSR1 stops the job without mpirun's kill: every log
// is written, status 0. On a full file system no log can be written: the
// last line names the ranks, status 1, and no cut log is left.
TEST_F(MpiRun, StopsKeepSummaryAndNeverCutLogs) {
  LoopFs fs(32);
  SKIP_WITHOUT_LOOP(fs);
  std::vector<std::string> kept = {"frames", "lost+found"};
  const std::tuple<const char*, int, bool> cases[] = {
      {"a", SIGINT, false}, {"b", SIGINT, true}, {"c", SIGUSR1, false}};  // frozen
  for (auto [name, sig, frozen] : cases) {
    SCOPED_TRACE(name);
    std::string frames = dir_ / name, log = fs / name + ".csv";
    RunOptions stop;
    stop.whileRunning = [&](int pid) {
      for (int i = 0; i < 3000 && !FileExists(frames + "/rank0001/frame000099.tst"); i++)
        usleep(20000);
      if (frozen) fs.Freeze(true);
      // timeout(1) passes SIGINT on, but not SIGUSR1: that goes to mpirun.
      kill(sig == SIGINT ? pid : ChildrenOf(pid).at(0), sig);
      for (int i = 0;
           frozen && i < 3000 && !(KillPendingOrGone(PidOf(0)) && KillPendingOrGone(PidOf(1))); i++)
        usleep(20000);
      if (frozen) fs.Freeze(false);
    };
    RunResult j = Run(2, {"-u", "0", "-e", "-l", "100", "-n", "1000000", "-x", log, frames}, stop);
    EXPECT_TRUE(j.status != 124 && (sig == SIGINT || j.status == 0)) << j.status << j.err;
    std::vector<int> n = RankFrames(j.out);
    ASSERT_EQ(n.size(), 2u) << j.out << j.err;
    EXPECT_EQ(CountOf(j.out, "Overall frame rate"), 1) << j.out;
    EXPECT_TRUE(JobFrames(j.out) == n[0] + n[1] && JobFrames(j.out) < 2000000) << j.out;
    size_t table = j.out.find("Start spread"), writing = j.out.find("Timing logs being written");
    EXPECT_TRUE(table != std::string::npos && writing > table) << j.out;
    std::vector<std::string> whole;  // the logs that exist
    for (int r = 0; r < 2; r++) {
      std::string rankLog = RankLogName(log, r);
      if (!FileExists(rankLog)) continue;
      std::vector<std::string> rows = LogRows(rankLog);
      EXPECT_TRUE(rows.size() == size_t(n[size_t(r)]) && ReadFile(rankLog).rfind("Date,", 0) == 0 &&
                  rows.back().rfind(std::to_string(n[size_t(r)] - 1) + ",", 0) == 0)
          << rankLog << " has " << rows.size() << " rows of " << n[size_t(r)];
      whole.push_back(rankLog.substr(rankLog.rfind('/') + 1));
    }
    // Never a claim that a log is written when it is not; after SIGUSR1, every one is.
    bool claimed = Contains(j.out, "Timing logs, one per rank");
    EXPECT_TRUE((!claimed || whole.size() == 2) && (sig == SIGINT || claimed)) << j.out;
    EXPECT_EQ(whole.size(), frozen ? 0u : sig == SIGUSR1 ? 2u : whole.size());
    kept.insert(kept.end(), whole.begin(), whole.end());
  }
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(ListDir(fs / ""), kept) << "a log under another name";

  ASSERT_EQ(Sh("fallocate -l $(( $(stat -f -c '%a*%S' " + fs / "" + ") - 65536 )) " + fs / "fill"),
            0);
  RunResult full =
      Run(2, {"-u", "0", "-e", "-l", "100", "-n", "4000", "-x", fs / "d.csv", dir_ / "d"});
  ExpectJob(full, 1, "ordavi-mpi rank 1: Could not write log file", 1);
  EXPECT_TRUE(Contains(full.out, "Timing logs not written for 2 of 2 ranks: 0, 1\n")) << full.out;
  kept.push_back("fill");
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(ListDir(fs / ""), kept) << "a cut log";
}

}  // namespace
