// Runs pieces of the program that may end the process (Usage, Fatal) inside a
// unit test: the exit hook turns the exit into an exception the test catches.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messages.h"
#include "options.h"
#include "params.h"
#include "stats.h"

struct ProcessExited {
  int status;
};

inline void ThrowingExit(int status) { throw ProcessExited{status}; }

struct ParseResult {
  bool exited = false;
  int status = 0;
  std::string out, err;
  CommandLine cl;
  std::vector<std::string> args;  // keeps the argument text alive for cl
};

// Parses a command line (program name added) into fresh parameter globals.
inline ParseResult ParseArgs(std::vector<std::string> args) {
  ResetParameters();
  ResetParameterScanner();
  g_exitHook = ThrowingExit;
  ParseResult r;
  r.args.push_back("ordavi");
  for (auto& a : args) r.args.push_back(a);
  std::vector<char*> argv;
  for (auto& a : r.args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  try {
    ParseCommandLine(int(r.args.size()), argv.data(), &r.cl);
  } catch (const ProcessExited& e) {
    r.exited = true;
    r.status = e.status;
  }
  fflush(stdout);
  r.out = testing::internal::GetCapturedStdout();
  r.err = testing::internal::GetCapturedStderr();
  g_exitHook = nullptr;
  return r;
}

// Runs `fn`, reporting whether it tried to end the process.
template <typename Fn>
bool Exits(Fn fn, std::string* err = nullptr) {
  g_exitHook = ThrowingExit;
  testing::internal::CaptureStderr();
  bool exited = false;
  try {
    fn();
  } catch (const ProcessExited&) {
    exited = true;
  }
  std::string e = testing::internal::GetCapturedStderr();
  if (err) *err = e;
  g_exitHook = nullptr;
  return exited;
}
