// ordavi-mpi: the same ordavi test on every rank of an MPI job, with one
// result for the job on rank 0.
//
// A rank parses the same command line as every other, moves to its own
// target (or the shared one) and its own timing log, and runs one engine of
// the core driver; the rank layer (rank_layer.h) joins the run through the
// core's hooks. After the run the job's result goes to rank 0 (job_end.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "job.h"
#include "messages.h"
#include "options.h"
#include "params.h"
#include "platform/platform.h"
#include "rank_layer.h"
#include "run_hooks.h"
#include "stats.h"

int g_rank = 0;
int g_size = 1;
RankLog g_rankLog;

namespace {

const char kUsageExtra[] =
    " ordavi-mpi (run as: mpirun -np N ordavi-mpi [options] <path|file>):\n"
    "   --shared        Every rank reads the same frames or stream at <path>\n"
    "                   (default: rank R uses <path>/rankRRRR or <path>.rankRRRR,\n"
    "                   and -x log.csv writes log.rankRRRR.csv)\n"
    "\n";

double WallClockAtStart() {
  int64_t now = 0;
  QueryPerfCount(&now);
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9 -
         double(now - g_startTime.load()) * g_perfTime;
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
  InitWatcher();

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

  // Each rank's own timing log, prepared (rank_log.h) before anything is
  // measured, so that a log that cannot be written stops the job at its
  // start; the core leaves it alone (an empty name it refuses itself).
  std::string logName;
  if (rs.cl.logFile && rs.cl.logFile[0]) {
    logName = RankLogName(rs.cl.logFile, g_rank);
    rs.cl.logFile = nullptr;
  }

  if (g_rank == 0)
    Say("Job of %d ranks, %s\n", g_size,
        shared ? "every rank on the same target" : "each rank on its own target (rankNNNN)");
  ConfigureRun(&rs);
  if (!logName.empty() && !g_rankLog.Prepare(logName)) {
    fprintf(stderr, "Could not create log file: %s\n", strerror(errno));
    OrdaviExit(1);
  }
  CatchJobStop(false);
  ExecuteRun(&rs);
  CatchJobStop(true);

  // This rank's part is over: its frame queue's name goes now.
  if (g_frameSema) {
    CloseSema(g_frameSema);
    g_frameSema = nullptr;
  }
  double wallStart = WallClockAtStart();
  EndWatcher();
  int status = EndJob(rs, wallStart, logName.empty() ? nullptr : logName.c_str());
  g_phase.store(kLeaving);
  ReleaseRun();
  StopRelay();
  FreeWatcher();
  MPI_Finalize();
  return status;
}
