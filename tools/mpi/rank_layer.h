// The rank layer of ordavi-mpi around the core driver, one job per file:
//
//   main.cpp      the sequence of a rank: parse, targets, run, end
//   identity.cpp  every rank runs the same build
//   relay.cpp     standard error: every line names its rank
//   watcher.cpp   the meeting before the start, stops across ranks, SIGUSR1
//   exit.cpp      how a rank leaves when the core ends the process
//   job_end.cpp   the job's result, then the logs, then the exit status
//
// WAITING. Open MPI's blocking calls poll the network at full speed. Every
// wait that may be long is a non-blocking call tested with growing sleeps
// (WaitQuietly), so a rank that waits costs the measuring ranks (or the
// ranks still writing their logs) no processor.
#pragma once

#include <mpi.h>

#include <atomic>

#include "driver.h"
#include "rank_log.h"

extern int g_rank;
extern int g_size;
extern RankLog g_rankLog;  // this rank's timing log, when -x is given

// ---- identity.cpp
// True when every rank runs this build (rank 0 says which one does not).
bool SameBuildEverywhere();

// ---- relay.cpp
// Standard error goes through a pipe to a thread that prefixes each line
// with "ordavi-mpi rank R: "; StopRelay flushes it and puts stderr back.
void StartRelay();
void StopRelay();

// ---- watcher.cpp
// Waits for `n` requests, sleeping between tests.
void WaitQuietly(int n, MPI_Request* reqs);
// Every rank says whether its set-up failed; true when none did.
bool AllReady(int failed);
// SIGUSR1 stops the job as a break does; after the run, with calls
// restarted, so that it cuts no output short.
void CatchJobStop(bool restart);
void InitWatcher();  // its own communicator (before the run)
void FreeWatcher();  // after the last round
void BeforeStart();  // the run hook: meet, start together, start watching
void AfterScreen();  // the run hook: the job's frames under rank 0's screen
void EndWatcher();   // this rank's engine is done; returns when every rank's is

// ---- exit.cpp
// Where the rank is: before the common start a failure is agreed on by all
// ranks and everybody leaves; after it a fatal failure aborts the job.
enum Phase { kSetup, kStarted, kLeaving };
extern std::atomic<int> g_phase;
// The core's exit hook (Usage, Fatal).
void OnExit(int status);

// ---- job_end.cpp
// After EndWatcher: the job's summary and table on rank 0, then every
// rank's log; returns the job's exit status (the same on every rank).
int EndJob(const RunState& rs, double wallStart, const char* logName);
