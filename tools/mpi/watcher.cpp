// The ranks' meeting before the start, and stops across ranks during the run.
//
// The engine calls BeforeStart after its set-up: there every rank learns
// whether all the others got that far (a rank that failed its set-up joins
// the same meeting from its exit hook), the ranks meet at a barrier, and the
// watcher thread starts. The barrier itself is blocking: by then every rank
// is known to be there, and a blocking barrier keeps the start tight.
//
// STOPS. The watcher exchanges two flags per round with every other rank,
// about every 100 ms: a stop was requested here (an Error or a break), and
// this rank's engine is still running. A stop anywhere raises g_terminate
// everywhere; every rank keeps joining rounds until all engines are done, so
// the collectives always match. No MPI call is made on a frame's timed path.
//
// SIGUSR1. mpirun passes SIGUSR1 on to every rank, and a rank takes it as a
// user's break, like the SIGTERM of a Ctrl-C; but mpirun then kills no rank,
// so the job ends by itself, every log written.
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "job.h"
#include "messages.h"
#include "platform/platform.h"
#include "rank_layer.h"
#include "screen/display.h"
#include "stats.h"

namespace {

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
    WaitQuietly(1, &req);
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

}  // namespace

void CatchJobStop(bool restart) {
  struct sigaction sa = {};
  sa.sa_handler = CtrlHandler;  // as ordavi's break
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = restart ? SA_RESTART : 0;
  sigaction(SIGUSR1, &sa, nullptr);
}

void WaitQuietly(int n, MPI_Request* reqs) {
  long ns = 50000;
  for (;;) {
    int done = 0;
    MPI_Testall(n, reqs, &done, MPI_STATUSES_IGNORE);
    if (done) return;
    timespec ts{0, ns};
    nanosleep(&ts, nullptr);
    ns = std::min(ns * 2, 5000000L);
  }
}

bool AllReady(int failed) {
  int global = 0;
  MPI_Request req;
  MPI_Iallreduce(&failed, &global, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD, &req);
  WaitQuietly(1, &req);
  return global == 0;
}

void InitWatcher() { MPI_Comm_dup(MPI_COMM_WORLD, &g_watchComm); }

void FreeWatcher() { MPI_Comm_free(&g_watchComm); }

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
