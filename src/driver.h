// The run sequence of one test, from the parsed command line to the summary.
#pragma once

#include "options.h"
#include "types.h"

// Runs the whole program; returns the exit status: 0 after every test that
// ran, 1 when its summary or its timing log could not be written whole.
// Usage and Fatal end the process with status 1 instead.
int OrdaviMain(int argc, char** argv);

// Fills g_paramsAsStr with the effective parameters in option syntax.
void GenerateParametersString(int isWriteTest);

// The run in phases, for programs that join a run between them (ordavi-mpi
// rewrites the path and the log name after parsing, and reports a job).
struct RunState {
  CommandLine cl;
  char fileNameBuf[kPathBufSize] = {};  // the path, then the per-frame name part
  char* namePart = nullptr;
  int nFrames = 0;  // the engine's result
};
// Standard descriptors, clock, unbuffered output, the option loop, the banner.
void ParseRun(int argc, char** argv, RunState* rs);
// Header and stream rules, the path buffer, the sizes, the parameter string,
// the timing log opened.
void ConfigureRun(RunState* rs);
// Records, platform set-up, frame queue, display thread, the engine; returns
// once the engine and the display thread have ended.
void ExecuteRun(RunState* rs);
// Closes the frame queue (if still open) and frees the records.
void ReleaseRun();
