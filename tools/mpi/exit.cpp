// How a rank leaves when the core ends the process (Usage, Fatal): before
// the common start it tells the other ranks, which are waiting to hear
// whether every set-up worked, so that all leave together with status 1;
// after the start the job is aborted through MPI, since the other ranks
// would otherwise wait for it in their next round.
#include <unistd.h>

#include <cstdio>

#include "rank_layer.h"

std::atomic<int> g_phase{kSetup};

void OnExit(int) {
  static std::atomic<bool> once{false};
  if (once.exchange(true)) {
    for (;;) pause();  // another thread is already ending the process
  }
  fflush(nullptr);
  g_rankLog.Discard();
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
