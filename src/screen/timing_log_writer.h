// The CSV timing log of `ordavi -x`: its format is described once, in
// timing_log_format.h, for this writer and ordavi-report's reader.
#pragma once

#include <cstdio>

// Writes the timing log body (everything after the Date and Time lines).
// Returns 0, or the errno of the first write that failed (the rest of the
// log is then not attempted).
int WriteTimingLog(FILE* f, int nFrames, const char* path);

// Creates or truncates the timing log for writing; null with errno set when
// it cannot. A FIFO without a reader fails at once instead of blocking.
FILE* OpenTimingLog(const char* logFile);
// Opens the log before the run, so that a log that cannot be created ends
// the program before anything is measured; DumpStats then writes into it.
bool OpenTimingLogBeforeRun(const char* logFile);

// Writes the whole log (Date and Time lines, then the body) into the file
// opened before the run, or a new one; 0, or 1 with the log's name and the
// reason on stderr.
int WriteLogFile(int nFrames, const char* logFile, const char* path);

// Writes the whole log (its Date and Time lines, then the body) into `f` and
// closes it. Returns 0, or the errno of the first write or flush that failed.
int WriteAndCloseLog(FILE* f, int nFrames, const char* path);
