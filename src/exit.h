// How the process ends, and what it must say first: the exit hook of the
// tests and the fuzzer, and the failures of standard output that turn a run's
// status into 1.
#pragma once

// Notes that a write to standard output failed with `err` (the first
// failure is kept). Any thread may call it.
void NoteStdoutFailure(int err);
// At the end of the run: when any write to standard output failed, says so
// once on standard error and returns 1; otherwise returns 0.
int ReportLostOutput();

// Ends the process. Tests and the fuzzer install a hook that unwinds instead,
// so that a usage error returns to them; the program itself exits.
typedef void (*ExitHook)(int status);
extern ExitHook g_exitHook;
[[noreturn]] void OrdaviExit(int status);
