// libFuzzer target over ordavi-report's log reader and its three outputs.
// Build and run with `make fuzz` (clang, ASan and UBSan).
#include "fuzz_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string fault = fuzzing::FuzzReport(data, size);
  if (!fault.empty()) {
    fprintf(stderr, "fuzz_report: %s\n", fault.c_str());
    abort();
  }
  return 0;
}
