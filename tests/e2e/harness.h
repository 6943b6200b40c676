// Shared helpers of the end-to-end tests: run the real ordavi binary with a
// command line, capture its exit status, stdout and stderr, and work with a
// scoped temporary directory on disk.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RunResult {
  int status = -1;  // exit status, or 128 + signal when killed
  std::string out;  // stdout
  std::string err;  // stderr
  int pid = 0;      // the process id the run had
};

// How a run is driven. `timeoutSec` kills a hung run (the test then fails).
// If `interruptAfterMs` >= 0, `signal` is sent that many milliseconds after
// the start. With `runAsUid` >= 0 the run drops root and runs as that user
// and group, so that file permissions apply to it. `whileRunning`, if set, is
// called on a thread of its own with the pid as soon as the process exists
// (to stop and continue it, say); the run's result waits for it to return.
struct RunOptions {
  int timeoutSec = 120;
  int interruptAfterMs = -1;
  int signal = 2;
  int runAsUid = -1;
  std::function<void(int pid)> whileRunning;
};

// Runs ordavi with `args` (argv[0] is added).
RunResult RunOrdavi(const std::vector<std::string>& args, const RunOptions& options = {});
// The same for another program (ordavi-report, a shell).
RunResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                     const RunOptions& options = {});
// Runs a bash command line, $ORDAVI naming the binary. The pid is the
// shell's, which `exec $ORDAVI` keeps.
RunResult Shell(const std::string& cmd, const RunOptions& options = {});
// A command line written as one string ("-w 4 -n 10"; no argument holds a space).
std::vector<std::string> Words(const std::string& line);
// Runs ordavi and fails the test (showing stderr) unless it exits with 0.
RunResult RunOk(const std::vector<std::string>& args);

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

// File and text helpers.
bool FileExists(const std::string& path);
int64_t FileSizeOf(const std::string& path);  // -1 when missing
// True when the file exists and every byte of it is `value`.
bool AllBytesAre(const std::string& path, unsigned char value);
std::string ReadFile(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);
// Sorted names in a directory (without . and ..).
std::vector<std::string> ListDir(const std::string& path);
// Waits (up to `timeoutMs`) until the process `pid` catches `signal`, so that
// a signal sent from then on reaches its handler. False if it never did.
bool WaitForHandler(int pid, int signal, int timeoutMs = 10000);
// True when the named semaphore of the run with this pid is still in /dev/shm.
bool SemaphoreLeft(int pid);
// The frame rows of a timing log (the lines after its "num," header).
std::vector<std::string> LogRows(const std::string& csvPath);
// The comma-separated fields of one log row.
std::vector<std::string> Fields(const std::string& row);
// Counts occurrences of `needle` in `hay`.
int CountOf(const std::string& hay, const std::string& needle);
inline bool Contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}
// True when this test run forbids io_uring to ordavi (ORDAVI_E2E_NO_URING),
// or ordavi is built without it, so that the asynchronous engines take
// their POSIX AIO path.
bool IoUringForbidden();
// A shell command prefix that execs the command after it with its io_uring
// submissions numbered first to first + count - 1 failing with `err`.
std::string FailingSubmits(int first, int count, int err);

// Runs `args` of ordavi in a fresh cgroup $cg of `controller` once the shell
// commands `setUp` have set its knobs; status 77 when there is no such
// controller here.
RunResult InCgroup(const std::string& controller, const std::string& setUp,
                   const std::string& args);

// Runs a shell command quietly; its exit status.
int Sh(const std::string& cmd);

// A small ext4 file system on a loop device, mounted below a TempDir, with
// an empty "frames" directory: a disk that fills up, fails or stalls for real.
class LoopFs {
 public:
  explicit LoopFs(int megabytes);
  ~LoopFs();
  LoopFs(const LoopFs&) = delete;
  LoopFs& operator=(const LoopFs&) = delete;
  bool ok() const { return ok_; }
  std::string frames() const { return mnt_ + "/frames"; }
  std::string operator/(const std::string& name) const { return mnt_ + "/" + name; }
  const std::string& device() const { return device_; }
  // Cuts the backing file short under the mounted file system: reads of the
  // lost blocks then fail with EIO.
  bool CutTo(int megabytes);
  // Freezes the file system (every create and write on it waits) or thaws it.
  bool Freeze(bool frozen);
  // The set-up for InCgroup("blkio", ...) that limits reads and writes on
  // the device to `bytesPerSecond`.
  std::string Throttle(int64_t bytesPerSecond) const;

 private:
  TempDir dir_;
  std::string image_ = dir_ / "image", mnt_ = dir_ / "mnt", device_;
  bool ok_ = false, frozen_ = false;
};

#define SKIP_WITHOUT_LOOP(fs) \
  if (!(fs).ok()) GTEST_SKIP() << "loop devices or mounting are not available on this host"
