// Diagnostics: Error stops the run in an orderly way, Fatal ends the process,
// Verbose prints a time-stamped trace line with --verbose.
#pragma once

#include <cstdint>

#include "exit.h"  // Fatal ends the process through OrdaviExit

// Seconds per clock tick, ticks per second, and the origin of trace times.
extern int64_t g_perfFreq;
extern double g_perfTime;
extern int64_t g_verboseTime;

// Prints the message and "\nError %d: %s\n" on stderr, only for the first
// failure of a run, and sets g_terminate.
void Error(int err, const char* msg, ...) __attribute__((format(printf, 2, 3)));

// True once Error has failed the run: the test did not measure what was
// asked. A run the user stopped before any failure is not a failed one.
bool TestFailed();
// Forgets a failed test (with the run counters, for the next run).
void ResetTestFailed();

// Prints the message and "\n***FATAL*** Error %d: %s\n" on stderr and ends the
// process with status 1.
[[noreturn]] void Fatal(int err, const char* msg, ...) __attribute__((format(printf, 2, 3)));

// With --verbose, writes "%.6f: " (seconds since g_verboseTime), the message
// and a newline to stdout in one write.
void Verbose(const char* msg, ...) __attribute__((format(printf, 1, 2)));
