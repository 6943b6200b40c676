// What the unit tests share; the exit hook turns an exit of the program
// (Usage, Fatal) into an exception the test catches.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "frameset.h"
#include "messages.h"
#include "options.h"
#include "params.h"
#include "platform/platform.h"
#include "stats.h"

// Calls `fn` with the bytes of every file in the fuzz directories named.
inline void ForEachFuzzInput(
    std::initializer_list<const char*> dirs,
    const std::function<void(const std::string&, const std::string&)>& fn) {
  for (const char* sub : dirs)
    for (auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(ORDAVI_FUZZ_DIR) / sub)) {
      std::ifstream in(entry.path(), std::ios::binary);
      fn(entry.path(),
         std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
}

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != text.npos;
}

struct ProcessExited {
  int status;
};

struct ParseResult {
  bool exited = false;
  int status = 0;
  std::string out, err;
  CommandLine cl;
  std::vector<std::string> args;  // keeps the argument text alive for cl
};

// Runs `fn` with stdout and stderr captured into `r`, noting an exit.
template <typename Fn>
void Capture(ParseResult* r, Fn fn) {
  g_exitHook = [](int status) { throw ProcessExited{status}; };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    fn();
  } catch (const ProcessExited& e) {
    r->exited = true;
    r->status = e.status;
  }
  fflush(stdout);
  r->out = testing::internal::GetCapturedStdout();
  r->err = testing::internal::GetCapturedStderr();
  g_exitHook = nullptr;
}

// Parses a command line, its arguments separated by single spaces ("" is
// none, "a " ends with an empty one), into fresh parameter globals.
inline ParseResult ParseArgs(const std::string& line) {
  ResetParameters();
  ResetParameterScanner();
  ParseResult r;
  r.args = {"ordavi"};
  for (size_t at = 0, end = 0; !line.empty() && end != std::string::npos; at = end + 1)
    end = line.find(' ', at), r.args.push_back(line.substr(at, end - at));
  std::vector<char*> argv;
  for (auto& a : r.args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Capture(&r, [&] { ParseCommandLine(int(r.args.size()), argv.data(), &r.cl); });
  return r;
}
