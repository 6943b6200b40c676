// The command line: option scanner, option loop, extended options, range
// check, usage screen and banner.
#pragma once

#include <cstdint>

#include "types.h"

// What the option loop hands to the driver besides the parameter globals.
struct CommandLine {
  int isWriteTest = 0;            // 1 write test, 0 read test (default)
  const char* path = nullptr;     // target path, or none
  const char* logFile = nullptr;  // -x value, or none (may be empty text)
  BOOL addDpxHeader = FALSE;      // the frame size came from a preset word
};

// Scans one item. Returns an option letter, 0 for a non-option argument, 32
// for a lone "-", or -1 when the arguments are exhausted. Letters outside
// 7-bit ASCII come back as their unsigned byte value.
int ParseParameter(int argc, char** argv, const char* optionswithparams, char** param);
void ResetParameterScanner();

// Runs the option loop over argv into the parameter globals and `cl`.
// Every error ends in Usage (exit status 1, or the exit hook).
void ParseCommandLine(int argc, char** argv, CommandLine* cl);

void ProcessExtendedParam(char* param);
void ValidateRange(const char* msg, int64_t value, int64_t min, int64_t max);
[[noreturn]] void Usage(const char* lpMsg, ...) __attribute__((format(printf, 1, 2)));
void DisplayAppInfo();
