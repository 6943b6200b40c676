// The end of a job, once every rank's engine has stopped.
//
// ORDER. The summary and the table come first, the logs after: on Ctrl-C,
// mpirun kills the ranks about a second after its SIGTERM, and writing a
// long run's log takes longer than that. Rank 0 gets the summary's figures
// by reductions (job.h) and the table's rows by a gather, and prints both at
// once; it then says which logs are being written, every rank writes its own
// (RankLog: a log gets its name only when whole), and rank 0's last line
// says that they all were, or whose were not. A job killed while its logs
// are written ends after the "being written" line: every log that exists is
// whole, and the others were not written.
//
// STATUS. The same on every rank (mpirun reports one of them): 1 when a
// rank lost output or its log, else 2 when an Error stopped any rank's
// test, else 0.
#include <unistd.h>

#include <string>
#include <vector>

#include "job.h"
#include "messages.h"
#include "params.h"
#include "rank_layer.h"
#include "screen/summary.h"

namespace {

// Rank 0 prints the job's summary and table from every rank's figures.
void ReportFigures(const RunState& rs, double wallStart) {
  char host[64] = {};
  gethostname(host, sizeof host - 1);
  RankResult mine = ResultOfRun(rs.nFrames, wallStart, host);
  QueueStats queue;
  if (g_frameRate != 0) queue = ComputeQueue(g_frameStats, rs.nFrames, g_framePreBufferCount);
  RankFigures own =
      FiguresOfRank(g_frameStats, rs.nFrames, mine.bytes, mine.dropped, mine.durationTicks, queue);
  RankFigures job;
  std::vector<RankResult> rows(g_rank == 0 ? size_t(g_size) : 0);
  MPI_Request reqs[5];
  MPI_Ireduce(own.sum, job.sum, RankFigures::kSums, MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD,
              &reqs[0]);
  MPI_Ireduce(own.min, job.min, 4, MPI_INT64_T, MPI_MIN, 0, MPI_COMM_WORLD, &reqs[1]);
  MPI_Ireduce(own.max, job.max, RankFigures::kMaxes, MPI_INT64_T, MPI_MAX, 0, MPI_COMM_WORLD,
              &reqs[2]);
  MPI_Ireduce(&own.queueWeighted, &job.queueWeighted, 1, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD,
              &reqs[3]);
  MPI_Igather(&mine, int(sizeof mine), MPI_BYTE, rows.data(), int(sizeof mine), MPI_BYTE, 0,
              MPI_COMM_WORLD, &reqs[4]);
  WaitQuietly(5, reqs);
  if (g_rank != 0) return;

  DurationStats phases[4];
  SummaryInput in;
  if (JobSummary(job, g_perfTime, phases, &in))
    PrintSummary(rs.cl.isWriteTest, in);
  else
    Say("\n  The job has more frames than one summary can hold; per rank only:\n\n");
  PrintJobTable(rows, g_perfTime);
}

// Every rank writes its log; rank 0 says whose were not written. 1 when this
// rank's was not.
int WriteLogs(const RunState& rs, const char* logName) {
  if (g_rank == 0) Say("Timing logs being written, one per rank: %s and the others\n", logName);
  int failed = g_rankLog.Commit(rs.nFrames, rs.cl.path);
  std::vector<int> all(g_rank == 0 ? size_t(g_size) : 0);
  MPI_Request req;
  MPI_Igather(&failed, 1, MPI_INT, all.data(), 1, MPI_INT, 0, MPI_COMM_WORLD, &req);
  WaitQuietly(1, &req);
  if (g_rank == 0) {
    std::string ranks;
    int n = 0;
    for (int r = 0; r < g_size; r++) {
      if (all[size_t(r)] == 0) continue;
      ranks += (n++ ? ", " : "") + std::to_string(r);
    }
    if (n == 0)
      Say("Timing logs, one per rank: %s and the others\n", logName);
    else
      Say("Timing logs not written for %d of %d ranks: %s\n", n, g_size, ranks.c_str());
  }
  return failed;
}

}  // namespace

int EndJob(const RunState& rs, double wallStart, const char* logName) {
  ReportFigures(rs, wallStart);
  int lost = logName ? WriteLogs(rs, logName) : 0;
  if (ReportLostOutput() != 0) lost = 1;
  // Ranked so that the greatest wins: lost output before a failed test.
  int mine = lost ? 2 : TestFailed() ? 1 : 0, job = 0;
  MPI_Request req;
  MPI_Iallreduce(&mine, &job, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD, &req);
  WaitQuietly(1, &req);
  return job == 2 ? 1 : job == 1 ? 2 : 0;
}
