// Points where a program built on the core library joins a run.
//
// ordavi itself leaves every hook null. ordavi-mpi uses them to line up the
// ranks of a job: every rank finishes its set-up, then all meet, then each
// takes its own start time. A hook is never called on a frame's timed path.
#pragma once

struct RunHooks {
  // Called once per run on the engine's thread, after every set-up step
  // (buffers, stream file, worker buffers, the -p pause) and immediately
  // before the pacing thread is started and g_startTime is taken.
  void (*beforeStart)() = nullptr;
  // Printed on stderr after the usage text: the options of the program built
  // on the core, which it takes out of the command line before parsing.
  const char* usageExtra = nullptr;
  // Called on the display thread right after each live screen is printed.
  void (*afterScreen)() = nullptr;
};

extern RunHooks g_runHooks;
