#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace streams {

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int64_t kKillGraceNs = 15 * int64_t(1000000000);
}  // namespace

bool Signals::Init() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kStopSignals) sigaddset(&set, s);
  sigaddset(&set, SIGCHLD);
  if (sigprocmask(SIG_BLOCK, &set, &original_) != 0) return false;
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  return fd_ >= 0;
}

Signals::~Signals() {
  if (fd_ >= 0) close(fd_);
}

int Signals::Wait(int64_t deadlineNs) {
  for (;;) {
    signalfd_siginfo info;
    ssize_t n = read(fd_, &info, sizeof info);
    if (n == ssize_t(sizeof info)) {
      int sig = int(info.ssi_signo);
      if (sig != SIGCHLD) {
        if (stopSignal == 0) stopSignal = sig;
        stops++;
      }
      return sig;
    }
    pollfd p = {fd_, POLLIN, 0};
    timespec ts, *tp = nullptr;
    if (deadlineNs >= 0) {
      int64_t left = std::max<int64_t>(0, deadlineNs - NowNs());
      if (left == 0) return 0;
      ts.tv_sec = time_t(left / 1000000000);
      ts.tv_nsec = long(left % 1000000000);
      tp = &ts;
    }
    int r = ppoll(&p, 1, tp, nullptr);
    if (r == 0) return 0;
    if (r < 0 && errno != EINTR) return 0;
  }
}

bool Signals::Drain() {
  while (Wait(NowNs()) != 0) {
  }
  return stopSignal != 0;
}

namespace {

bool Spawn(const Launch& l, const sigset_t& mask, pid_t* pid, std::string* error) {
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, l.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, l.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // A group of its own: the terminal's Ctrl-C reaches the coordinator only,
  // and ordavi raises the priority of its own group for a paced run.
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : kStopSignals) sigaddset(&defaults, s);
  sigaddset(&defaults, SIGCHLD);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (const std::string& a : l.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int rc = posix_spawn(pid, argv[0], &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) *error = l.argv[0] + ": " + strerror(rc);
  return rc == 0;
}

}  // namespace

std::vector<Outcome> RunGroup(Signals& signals, const std::vector<Launch>& launches,
                              const GroupOptions& options) {
  std::vector<Outcome> out(launches.size());
  std::vector<pid_t> pids(launches.size(), -1);
  const int64_t t0 = NowNs();
  const int stopsBefore = signals.stops;
  size_t next = 0, running = 0;
  int64_t killAt = -1, nextTick = t0 + 1000000000;
  // A stop that came while nothing ran starts nothing.
  bool stopping = signals.Drain();

  auto sendAll = [&](int sig, bool group) {
    for (size_t i = 0; i < pids.size(); i++)
      if (pids[i] > 0) kill(group ? -pids[i] : pids[i], sig);
  };
  auto reap = [&] {
    for (size_t i = 0; i < pids.size(); i++) {
      if (pids[i] <= 0) continue;
      int st = 0;
      pid_t r = waitpid(pids[i], &st, WNOHANG);
      if (r != pids[i]) continue;
      if (WIFEXITED(st)) out[i].status = WEXITSTATUS(st);
      if (WIFSIGNALED(st)) out[i].signal = WTERMSIG(st);
      pids[i] = -1;
      running--;
    }
  };

  for (;;) {
    int64_t now = NowNs();
    while (!stopping && next < launches.size() && t0 + launches[next].offsetNs <= now) {
      Outcome& o = out[next];
      o.launchNs = NowNs() - t0;
      o.started = Spawn(launches[next], signals.Original(), &pids[next], &o.spawnError);
      if (!o.started) pids[next] = -1;
      running += o.started ? 1 : 0;
      next++;
    }
    if (running == 0 && (stopping || next == launches.size())) break;

    int64_t wake = -1;
    auto sooner = [&wake](int64_t t) {
      if (t >= 0 && (wake < 0 || t < wake)) wake = t;
    };
    if (!stopping && next < launches.size()) sooner(t0 + launches[next].offsetNs);
    if (options.timeoutNs >= 0 && !stopping) sooner(t0 + options.timeoutNs);
    sooner(killAt);
    if (options.progress) sooner(nextTick);

    int sig = signals.Wait(wake);
    now = NowNs();
    if (sig == SIGCHLD) {
      reap();
    } else if (sig != 0) {
      if (!stopping) {
        // The first stop: every running child stops in order.
        stopping = true;
        sendAll(sig, false);
        killAt = now + kKillGraceNs;
      } else if (signals.stops - stopsBefore >= 2) {
        sendAll(SIGKILL, true);
      }
    } else {
      if (killAt >= 0 && now >= killAt) {
        sendAll(SIGKILL, true);
        killAt = -1;
      }
      if (!stopping && options.timeoutNs >= 0 && now >= t0 + options.timeoutNs) {
        stopping = true;
        for (size_t i = 0; i < pids.size(); i++) out[i].timedOut = pids[i] > 0;
        sendAll(SIGTERM, false);
        killAt = now + kKillGraceNs;
      }
    }
    if (options.progress && now >= nextTick) {
      options.progress(double(now - t0) / 1e9);
      nextTick = now + 1000000000;
    }
    // A SIGCHLD merged with another signal is not lost: reap on every wake.
    reap();
  }
  return out;
}

std::string DescribeEnd(const Outcome& o) {
  if (!o.started) return o.spawnError.empty() ? "not started" : "could not start " + o.spawnError;
  if (o.signal != 0)
    return "killed by signal " + std::to_string(o.signal) + " (" + strsignal(o.signal) + ")";
  return "exit status " + std::to_string(o.status);
}

}  // namespace streams
