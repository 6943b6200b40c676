// One fuzzing step over the command line: the input is split at NUL bytes
// into arguments, parsed by the real option loop, and what a successful parse
// produced is then used the way a run would use it (name pattern, frame
// names in the path buffer, sizes, parameter string). A usage error comes
// back through the exit hook instead of ending the process. Shared by the
// libFuzzer target and the unit test that replays the corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"
#include "frameset.h"
#include "messages.h"
#include "options.h"
#include "params.h"
#include "types.h"

namespace fuzzing {

struct Exited {};
inline void ExitByThrowing(int) { throw Exited{}; }

// Number of integer conversions in a printf pattern ("%%" is a literal).
inline int Conversions(const char* pattern) {
  int n = 0;
  for (const char* p = pattern; *p; p++) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      p++;
      continue;
    }
    n++;
  }
  return n;
}

inline void FuzzCommandLine(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"ordavi"};
  std::string cur;
  for (size_t i = 0; i < size && args.size() < 64; i++) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += char(data[i]);
    }
  }
  if (!cur.empty()) args.push_back(cur);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  ResetParameters();
  ResetParameterScanner();
  g_exitHook = ExitByThrowing;
  CommandLine cl;
  try {
    ParseCommandLine(int(args.size()), argv.data(), &cl);
  } catch (const Exited&) {
    g_exitHook = nullptr;
    return;
  }

  // The pattern holds exactly one conversion, whatever --name said.
  if (Conversions(g_fileName) != 1) abort();

  // Name every kind of position in the path buffer, as the driver would
  // after its length check; directories are left out (they touch the disk).
  g_numFilesPerDir = 0;
  g_isRandom = FALSE;
  if (int64_t(g_firstFileNum) + g_numFrames - 1 <= 2147483647) {
    size_t pathLen = strlen(cl.path);
    if (pathLen + 1 + size_t(LongestNamePart()) < size_t(kPathBufSize)) {
      char buf[kPathBufSize];
      memcpy(buf, cl.path, pathLen);
      buf[pathLen] = '/';
      buf[pathLen + 1] = '\0';
      // Under the sanitizers a write past the buffer ends the run.
      for (int index : {0, g_numFrames / 2, g_numFrames - 1})
        GenFileName(buf, buf + pathLen + 1, index);
    }
  }
  try {
    if (cl.isWriteTest) UpdateParametersForWriteTest();
    GenerateParametersString(cl.isWriteTest);
  } catch (const Exited&) {
  }
  g_exitHook = nullptr;
}

}  // namespace fuzzing
