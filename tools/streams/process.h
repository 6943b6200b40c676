// Child processes of ordavi-streams and the one place where it waits.
//
// The coordinator blocks its stop signals (SIGINT, SIGTERM, SIGHUP) and
// SIGCHLD and reads them from a signalfd, so every wait is one ppoll() that
// sleeps until a child ends, a signal arrives or a deadline passes: it never
// spins and never sits on a stream's timed path. Each child runs in a
// process group of its own, so a Ctrl-C on the terminal reaches only the
// coordinator, which hands the same signal to each child in turn: every
// ordavi then stops its test in order and writes its summary and log.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace streams {

int64_t NowNs();  // CLOCK_MONOTONIC

class Signals {
 public:
  // Blocks the signals and opens the signalfd; false (errno set) on failure.
  bool Init();
  ~Signals();
  const sigset_t& Original() const { return original_; }
  // Sleeps until a signal arrives or the monotonic clock reaches
  // `deadlineNs` (< 0: no deadline). Returns the signal, 0 at the deadline.
  int Wait(int64_t deadlineNs);
  // Takes every signal already pending, without waiting; true when a stop
  // signal has been received (now or before).
  bool Drain();
  // The first stop signal received (0: none) and how many arrived.
  int stopSignal = 0;
  int stops = 0;

 private:
  int fd_ = -1;
  sigset_t original_{};
};

struct Launch {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::string outPath, errPath;   // standard output and error go there
  int64_t offsetNs = 0;           // from the group's start
};

struct Outcome {
  bool started = false;
  std::string spawnError;  // why it could not start
  int64_t launchNs = 0;    // when it was started, from the group's start
  int status = -1;         // exit status, when it exited
  int signal = 0;          // the signal that ended it
  bool timedOut = false;   // stopped by the deadline
};

struct GroupOptions {
  int64_t timeoutNs = -1;  // from the group's start; < 0: none
  // Called about once a second while the group runs, with the seconds since
  // its start (a progress line); may be empty.
  std::function<void(double)> progress;
};

// Starts each launch at its offset and waits until every started process has
// ended. A stop signal is handed to every running process (a second one
// kills them); once the time-out passes they get SIGTERM, and SIGKILL 15 s
// later. After a stop no further launch starts. Never returns with a child
// left running.
std::vector<Outcome> RunGroup(Signals& signals, const std::vector<Launch>& launches,
                              const GroupOptions& options);

// "killed by signal 9 (Killed)", "exit status 2", ...
std::string DescribeEnd(const Outcome& o);

}  // namespace streams
