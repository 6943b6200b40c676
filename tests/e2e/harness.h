// Shared helpers of the end-to-end tests: run the real ordavi binary with a
// command line, capture its exit status, stdout and stderr, and work with a
// scoped temporary directory on disk.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

struct RunResult {
  int status = -1;  // exit status, or 128 + signal when killed
  std::string out;  // stdout
  std::string err;  // stderr
  int pid = 0;      // the process id the run had
};

// Runs ordavi with `args` (argv[0] is added). `timeoutSec` kills a hung run
// (the test then fails on the status). If `interruptAfterMs` >= 0, SIGINT is
// sent to the process that many milliseconds after the start (or `signal`
// instead of SIGINT). With `runAsUid` >= 0 the run drops root and runs as
// that user and group, so that file permissions apply to it.
RunResult RunOrdavi(const std::vector<std::string>& args, int timeoutSec = 120,
                    int interruptAfterMs = -1, int signal = 2, int runAsUid = -1);
// The same for another program of the project (ordavi-report).
RunResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                     int timeoutSec = 120, int interruptAfterMs = -1, int signal = 2,
                     int runAsUid = -1);

// The three engines, with the options that choose them and the byte each
// one writes; With() puts an engine's options before a command line.
struct Engine {
  const char* name;
  std::vector<std::string> args;
  unsigned char fill;
};
const std::vector<Engine>& AllEngines();
std::vector<std::string> With(const Engine& e, std::vector<std::string> args);

// A fresh directory below the build tree, removed with its contents at the
// end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// File helpers.
bool FileExists(const std::string& path);
int64_t FileSizeOf(const std::string& path);  // -1 when missing
// True when every byte of the file is `value` (and the file exists).
bool AllBytesAre(const std::string& path, unsigned char value);
std::string ReadFile(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);
// Sorted names in a directory (without . and ..).
std::vector<std::string> ListDir(const std::string& path);
// True when the named semaphore of the run with this pid is still in /dev/shm.
bool SemaphoreLeft(int pid);
// The frame rows of a timing log (the lines after its "num," header).
std::vector<std::string> LogRows(const std::string& csvPath);
// Counts occurrences of `needle` in `hay`.
int CountOf(const std::string& hay, const std::string& needle);
// True when this test run forbids io_uring to ordavi (ORDAVI_E2E_NO_URING),
// so that the asynchronous engines take their POSIX AIO path.
bool IoUringForbidden();
