// libFuzzer target over the option scanner, the option loop and the --name
// rule. Build with `make fuzz` (clang, ASan and UBSan).
#include "fuzz_command_line.h"

#include <unistd.h>

#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The usage screen goes to stdout and stderr on every bad command line.
  if (!freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzCommandLine(data, size);
  return 0;
}
