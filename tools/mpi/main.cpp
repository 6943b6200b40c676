// ordavi-mpi: the same ordavi test on every rank of an MPI job, with one
// result for the job on rank 0.
//
// The rank layer wraps the core driver's phases. Every rank parses the same
// command line, moves to its own target (or the shared one) and its own
// timing log, and runs one engine. The engine calls BeforeStart after its
// set-up: there every rank learns whether all the others got that far (a
// rank that failed its set-up joins the same meeting from its exit hook), the
// ranks meet at a barrier, and a watcher thread starts. No MPI call is made on
// a frame's timed path.
//
// STOPS. The watcher exchanges two flags per round with every other rank,
// about every 100 ms: a stop was requested here (an Error or a break), and
// this rank's engine is still running. A stop anywhere raises g_terminate
// everywhere; every rank keeps joining rounds until all engines are done, so
// the collectives always match. Then the results and the frame records go to
// rank 0, which prints the job's summary. A rank that fails fatally once the
// run has started aborts the job (MPI_Abort); a rank that dies is reported by
// mpirun, which ends the job.
//
// WAITING. Open MPI's blocking calls poll the network at full speed. Every
// wait that may be long (the meeting before the start, the rounds) is a
// non-blocking call tested with growing sleeps, so a rank that waits costs
// the measuring ranks no processor; only the final barrier before the start
// is blocking, when all ranks are known to be there, to keep the start tight.
#include <fcntl.h>
#include <mpi.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver.h"
#include "job.h"
#include "messages.h"
#include "options.h"
#include "params.h"
#include "platform/platform.h"
#include "report/display.h"
#include "report/summary.h"
#include "run_hooks.h"
#include "stats.h"
#include "version.h"

#ifndef ORDAVI_MPI_BUILD_TAG
#define ORDAVI_MPI_BUILD_TAG ""
#endif

namespace {

const char kUsageExtra[] =
    " ordavi-mpi (run as: mpirun -np N ordavi-mpi [options] <path|file>):\n"
    "   --shared        Every rank reads the same frames or stream at <path>\n"
    "                   (default: rank R uses <path>/rankRRRR or <path>.rankRRRR,\n"
    "                   and -x log.csv writes log.rankRRRR.csv)\n"
    "\n";

constexpr int kBuildIdSize = 128;

int g_rank = 0;
int g_size = 1;

// Where the rank is: before the common start a failure is agreed on by all
// ranks and everybody leaves; after it a fatal failure aborts the job.
enum Phase { kSetup, kStarted, kLeaving };
std::atomic<int> g_phase{kSetup};

// ---- waiting without burning a processor

void WaitQuietly(MPI_Request* req) {
  long ns = 50000;
  for (;;) {
    int done = 0;
    MPI_Test(req, &done, MPI_STATUS_IGNORE);
    if (done) return;
    timespec ts{0, ns};
    nanosleep(&ts, nullptr);
    ns = std::min(ns * 2, 5000000L);
  }
}

// Every rank says whether its set-up failed; true when none did.
bool AllReady(int failed) {
  int global = 0;
  MPI_Request req;
  MPI_Iallreduce(&failed, &global, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD, &req);
  WaitQuietly(&req);
  return global == 0;
}

// ---- standard error: every line names its rank

int g_realStderr = -1;
int g_relayRead = -1;
pthread_t g_relayThread;
bool g_relayStarted = false;

void WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += size_t(n);
  }
}

void* RelayProc(void*) {
  char prefix[48];
  snprintf(prefix, sizeof prefix, "ordavi-mpi rank %d: ", g_rank);
  std::string pending;
  char buf[4096];
  for (;;) {
    ssize_t n = read(g_relayRead, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buf, size_t(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      WriteAll(g_realStderr, prefix + pending.substr(0, nl + 1));
      pending.erase(0, nl + 1);
    }
  }
  if (!pending.empty()) WriteAll(g_realStderr, prefix + pending + "\n");
  close(g_relayRead);
  return nullptr;
}

void StartRelay() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  g_realStderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (g_realStderr < 0 || dup2(fds[1], STDERR_FILENO) < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  close(fds[1]);
  g_relayRead = fds[0];
  if (pthread_create(&g_relayThread, nullptr, RelayProc, nullptr) != 0) {
    dup2(g_realStderr, STDERR_FILENO);
    close(g_relayRead);
    return;
  }
  g_relayStarted = true;
}

// Puts standard error back; the relay sees the end of its pipe, writes what
// it still holds and ends.
void StopRelay() {
  if (!g_relayStarted) return;
  g_relayStarted = false;
  fflush(stderr);
  dup2(g_realStderr, STDERR_FILENO);
  pthread_join(g_relayThread, nullptr);
}

// ---- the watcher: stops across ranks

std::mutex g_watchMutex;
std::condition_variable g_watchWake;
bool g_engineDone = false;
pthread_t g_watcherThread;
bool g_watcherStarted = false;
MPI_Comm g_watchComm = MPI_COMM_NULL;

// The job's finished frames as of the last round, for rank 0's live screen.
std::atomic<int64_t> g_jobFrames{0};

void* WatcherProc(void*) {
  for (;;) {
    // Summed over the ranks: stops requested, engines still running, frames
    // finished.
    int64_t local[3], global[3];
    {
      std::lock_guard<std::mutex> lock(g_watchMutex);
      local[1] = g_engineDone ? 0 : 1;
    }
    local[0] = g_stopRequested.load(std::memory_order_acquire);
    local[2] = g_numFrameStats.load(std::memory_order_acquire);
    MPI_Request req;
    MPI_Iallreduce(local, global, 3, MPI_INT64_T, MPI_SUM, g_watchComm, &req);
    WaitQuietly(&req);
    g_jobFrames.store(global[2], std::memory_order_relaxed);
    if (global[0] != 0 && g_terminate.load(std::memory_order_acquire) == 0) {
      g_terminate.store(1, std::memory_order_release);
      WakeDisplayStats();
    }
    if (global[1] == 0) return nullptr;
    std::unique_lock<std::mutex> lock(g_watchMutex);
    bool wasDone = local[1] == 0;
    g_watchWake.wait_for(lock, std::chrono::milliseconds(100),
                         [wasDone] { return g_engineDone != wasDone; });
  }
}

// Rank 0's live screen shows its own frames; this line adds the job's.
void AfterScreen() {
  Say("  Job of %d ranks: %lld frames done\n", g_size,
      (long long)g_jobFrames.load(std::memory_order_relaxed));
}

void BeforeStart() {
  if (!AllReady(0)) {
    g_phase.store(kLeaving);
    if (g_rank == 0) fprintf(stderr, "The job ends: a rank failed before the start\n");
    OrdaviExit(1);
  }
  MPI_Barrier(MPI_COMM_WORLD);
  g_phase.store(kStarted);
  int rc = pthread_create(&g_watcherThread, nullptr, WatcherProc, nullptr);
  if (rc != 0) Fatal(rc, "Could not create \"watcher\" thread");
  g_watcherStarted = true;
}

void EndWatcher() {
  {
    std::lock_guard<std::mutex> lock(g_watchMutex);
    g_engineDone = true;
  }
  g_watchWake.notify_all();
  if (g_watcherStarted) pthread_join(g_watcherThread, nullptr);
  g_watcherStarted = false;
}

// Usage and Fatal end the process through here.
void OnExit(int) {
  static std::atomic<bool> once{false};
  if (once.exchange(true)) {
    for (;;) pause();  // another thread is already ending the process
  }
  fflush(nullptr);
  StopRelay();
  switch (g_phase.load()) {
    case kSetup:
      AllReady(1);
      MPI_Finalize();
      break;
    case kStarted:
      MPI_Abort(MPI_COMM_WORLD, 1);
      break;
    default:
      MPI_Finalize();
      break;
  }
}

// ---- the build: every rank must run the same one

void BuildId(char* id) {
  char lib[MPI_MAX_LIBRARY_VERSION_STRING] = {};
  int len = 0;
  MPI_Get_library_version(lib, &len);
  lib[strcspn(lib, ",\n")] = '\0';
  snprintf(id, kBuildIdSize, "ordavi-mpi %s%s, records %zu, %s", ORDAVI_VERSION,
           ORDAVI_MPI_BUILD_TAG, sizeof(TIME_STATS), lib);
}

bool SameBuildEverywhere() {
  char mine[kBuildIdSize] = {};
  BuildId(mine);
  std::vector<char> all(static_cast<size_t>(kBuildIdSize) * static_cast<size_t>(g_size));
  MPI_Allgather(mine, kBuildIdSize, MPI_CHAR, all.data(), kBuildIdSize, MPI_CHAR, MPI_COMM_WORLD);
  for (int r = 0; r < g_size; r++) {
    const char* theirs = all.data() + size_t(r) * kBuildIdSize;
    if (strncmp(theirs, all.data(), kBuildIdSize) == 0) continue;
    if (g_rank == 0)
      fprintf(stderr,
              "ordavi-mpi: rank %d runs \"%.*s\" but rank 0 runs \"%.*s\": every rank must run "
              "the same build\n",
              r, kBuildIdSize, theirs, kBuildIdSize, all.data());
    return false;
  }
  return true;
}

double WallClockAtStart() {
  int64_t now = 0;
  QueryPerfCount(&now);
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9 -
         double(now - g_startTime.load()) * g_perfTime;
}

// Results and records of every rank to rank 0, which prints the job.
void ReportJob(const RunState& rs, double wallStart) {
  char host[64] = {};
  gethostname(host, sizeof host - 1);
  RankResult mine = ResultOfRun(rs.nFrames, wallStart, host);
  std::vector<RankResult> results(static_cast<size_t>(g_size));
  MPI_Allgather(&mine, int(sizeof mine), MPI_BYTE, results.data(), int(sizeof mine), MPI_BYTE,
                MPI_COMM_WORLD);

  int64_t total = 0;
  for (const RankResult& r : results) total += r.nFrames;
  std::vector<TIME_STATS> own = RebasedRecords(g_frameStats, rs.nFrames, g_startTime.load());
  std::vector<std::vector<TIME_STATS>> perRank;
  bool merged = total <= INT32_MAX;
  if (merged) {
    MPI_Datatype rec;
    MPI_Type_contiguous(int(sizeof(TIME_STATS)), MPI_BYTE, &rec);
    MPI_Type_commit(&rec);
    std::vector<int> counts(static_cast<size_t>(g_size)), displs(static_cast<size_t>(g_size));
    int at = 0;
    for (int r = 0; r < g_size; r++) {
      counts[size_t(r)] = results[size_t(r)].nFrames;
      displs[size_t(r)] = at;
      at += counts[size_t(r)];
    }
    std::vector<TIME_STATS> all(g_rank == 0 ? size_t(total) : 0);
    MPI_Gatherv(own.data(), rs.nFrames, rec, all.data(), counts.data(), displs.data(), rec, 0,
                MPI_COMM_WORLD);
    MPI_Type_free(&rec);
    if (g_rank == 0) {
      for (int r = 0; r < g_size; r++)
        perRank.emplace_back(all.begin() + displs[size_t(r)],
                             all.begin() + displs[size_t(r)] + counts[size_t(r)]);
    }
  }
  if (g_rank != 0) return;

  if (merged) {
    MergedJob job;
    MergeJob(results, perRank, &job);
    PrintSummary(rs.cl.isWriteTest, job.input);
  } else {
    Say("\n  The job has more frames than one summary can hold; per rank only:\n\n");
  }
  PrintJobTable(results, g_perfTime);
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  if (MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided) != MPI_SUCCESS) {
    fprintf(stderr, "ordavi-mpi: MPI could not be started\n");
    return 1;
  }
  MPI_Comm_rank(MPI_COMM_WORLD, &g_rank);
  MPI_Comm_size(MPI_COMM_WORLD, &g_size);
  // The watcher thread makes the MPI calls during the run, and a fatal
  // failure on another thread aborts the job while the watcher may be in MPI.
  if (provided < MPI_THREAD_MULTIPLE) {
    if (g_rank == 0)
      fprintf(stderr, "ordavi-mpi: the MPI library does not support MPI_THREAD_MULTIPLE\n");
    MPI_Finalize();
    return 1;
  }
  if (!SameBuildEverywhere()) {
    MPI_Finalize();
    return 1;
  }
  MPI_Comm_dup(MPI_COMM_WORLD, &g_watchComm);

  // Only rank 0 writes to standard output; the others say nothing while the
  // command line (the same on every rank) is checked.
  int savedErr = -1;
  if (g_rank != 0) {
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) {
      dup2(devnull, STDOUT_FILENO);
      savedErr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
      dup2(devnull, STDERR_FILENO);
      close(devnull);
    }
  }
  g_exitHook = OnExit;
  g_runHooks.usageExtra = kUsageExtra;
  g_runHooks.beforeStart = BeforeStart;
  g_runHooks.afterScreen = AfterScreen;

  // The rank layer's own options leave the command line before ordavi's
  // option loop sees it.
  bool shared = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; i++) {
    if (i > 0 && strcmp(argv[i], "--shared") == 0)
      shared = true;
    else
      args.push_back(argv[i]);
  }
  args.push_back(nullptr);

  RunState rs;
  ParseRun(int(args.size()) - 1, args.data(), &rs);
  if (shared && rs.cl.isWriteTest)
    Usage("--shared is for read tests: ranks writing the same frames overwrite each other\n\n");
  if (savedErr >= 0) {
    dup2(savedErr, STDERR_FILENO);
    close(savedErr);
  }
  // The live screen is rank 0's.
  if (g_rank != 0) g_updateInterval = 0;
  StartRelay();

  const std::string path = rs.cl.path;
  std::string target = shared ? rs.cl.path : RankTargetPath(rs.cl.path, g_rank, g_streamMode);
  rs.cl.path = target.c_str();
  // A write test creates the target and the rank's directory in it.
  if (!shared && !g_streamMode && rs.cl.isWriteTest) {
    mkdir(path.c_str(), 0777);
    if (mkdir(target.c_str(), 0777) != 0 && errno != EEXIST)
      Fatal(errno, "Cannot create directory \"%s\"", target.c_str());
  }

  // Each rank's own timing log; ConfigureRun creates it before anything is
  // measured, so a log that cannot be written stops the job at its start.
  std::string logName;
  if (rs.cl.logFile && rs.cl.logFile[0]) {
    logName = RankLogName(rs.cl.logFile, g_rank);
    rs.cl.logFile = logName.c_str();
  }

  if (g_rank == 0)
    Say("Job of %d ranks, %s\n", g_size,
        shared ? "every rank on the same target" : "each rank on its own target (rankNNNN)");
  ConfigureRun(&rs);
  ExecuteRun(&rs);

  // This rank's part is over: its frame queue's name goes now, and its log is
  // written before anything waits for the other ranks.
  if (g_frameSema) {
    CloseSema(g_frameSema);
    g_frameSema = nullptr;
  }
  double wallStart = WallClockAtStart();
  int status = rs.cl.logFile ? WriteLogFile(rs.nFrames, rs.cl.logFile, rs.cl.path) : 0;
  EndWatcher();

  ReportJob(rs, wallStart);
  if (g_rank == 0 && rs.cl.logFile)
    Say("Timing logs, one per rank: %s and the others\n", rs.cl.logFile);
  if (ReportLostOutput() != 0) status = 1;
  g_phase.store(kLeaving);
  ReleaseRun();
  StopRelay();
  MPI_Comm_free(&g_watchComm);
  MPI_Finalize();
  return status;
}
