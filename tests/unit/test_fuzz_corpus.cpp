// Replays the command-line fuzzer's seed corpus and every input that once
// made it fail, so a fixed fault stays fixed in the plain test run too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_command_line.h"

TEST(FuzzCorpus, EveryInputParsesWithoutFault) {
  for (const char* sub : {"corpus", "regressions"}) {
    std::filesystem::path dir = std::filesystem::path(ORDAVI_FUZZ_DIR) / sub;
    if (!std::filesystem::exists(dir)) continue;
    for (auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      testing::internal::CaptureStdout();
      testing::internal::CaptureStderr();
      fuzzing::FuzzCommandLine(reinterpret_cast<const uint8_t*>(data.data()), data.size());
      testing::internal::GetCapturedStdout();
      testing::internal::GetCapturedStderr();
    }
  }
}
