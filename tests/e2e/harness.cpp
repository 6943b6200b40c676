#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

RunResult RunOk(const std::vector<std::string>& args) {
  RunResult r = RunOrdavi(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return r;
}

RunResult RunOrdavi(const std::vector<std::string>& args, const RunOptions& o) {
  return RunProgram(ORDAVI_BINARY, args, o);
}

RunResult Shell(const std::string& cmd, const RunOptions& o) {
  return RunProgram("/bin/bash", {"-c", "ORDAVI='" ORDAVI_BINARY "'; " + cmd}, o);
}

RunResult InCgroup(const std::string& controller, const std::string& setUp,
                   const std::string& args) {
  return Shell("cg=/sys/fs/cgroup/" + controller + "/ordavi_e2e_$$; mkdir $cg || exit 77; " +
               setUp + "; sh -c 'echo $$ > $0/cgroup.procs; exec $1 " + args +
               "' $cg \"$ORDAVI\"; s=$?; rmdir $cg; exit $s");
}

RunResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                     const RunOptions& o) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return {};
  }
  std::vector<std::string> argvStore = {binary};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    // A process group of its own, so that ordavi's setpriority on its process
    // group and our signals reach only it.
    setpgid(0, 0);
    // A name that a killed run with this pid once left would look like ours.
    unlink(("/dev/shm/sem.ordavi_" + std::to_string(getpid()) + "\n").c_str());
    if (o.runAsUid >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(o.runAsUid)) != 0 ||
                            setuid(uid_t(o.runAsUid)) != 0))
      _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  std::thread during;
  if (o.whileRunning) during = std::thread(o.whileRunning, int(pid));

  RunResult r;
  r.pid = int(pid);
  const auto start = std::chrono::steady_clock::now();
  bool interrupted = false, killed = false;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  char buf[65536];
  for (int open = 2; open > 0;) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    if (!interrupted && o.interruptAfterMs >= 0 && elapsed >= o.interruptAfterMs) {
      kill(pid, o.signal);
      interrupted = true;
    }
    if (!killed && elapsed >= int64_t(o.timeoutSec) * 1000) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, 10) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        (i == 0 ? r.out : r.err).append(buf, size_t(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
  // Its output is closed: the process is ending. The helper thread may still
  // signal it: it is reaped only afterwards, so the pid stays its own.
  if (during.joinable()) during.join();
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (killed) ADD_FAILURE() << binary << " did not finish within " << o.timeoutSec << " s";
  return r;
}

TempDir::TempDir() {
  fs::create_directories(ORDAVI_TEST_TMPDIR);
  std::string tmpl = std::string(ORDAVI_TEST_TMPDIR) + "/t.XXXXXX";
  if (!mkdtemp(tmpl.data())) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int64_t FileSizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool AllBytesAre(const std::string& path, unsigned char value) {
  const std::string data = ReadFile(path);
  return FileExists(path) && std::all_of(data.begin(), data.end(),
                                         [value](char c) { return (unsigned char)c == value; });
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(path, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool WaitForHandler(int pid, int signal, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited++) {
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
      if (line.rfind("SigCgt:", 0) == 0 &&
          (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1)
        return true;
    usleep(1000);
  }
  return false;
}

bool SemaphoreLeft(int pid) {
  // The semaphore's name is "ordavi_<pid>" followed by a newline.
  return FileExists("/dev/shm/sem.ordavi_" + std::to_string(pid) + "\n");
}

int CountOf(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size()))
    n++;
  return n;
}

std::vector<std::string> LogRows(const std::string& csvPath) {
  std::vector<std::string> lines = SplitLines(ReadFile(csvPath));
  auto header = std::find_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("num,", 0) == 0; });
  return header == lines.end() ? std::vector<std::string>{}
                               : std::vector<std::string>(header + 1, lines.end());
}

std::vector<std::string> Fields(const std::string& row) {
  std::vector<std::string> f;
  std::istringstream in(row);
  for (std::string field; std::getline(in, field, ',');) f.push_back(field);
  return f;
}

const std::vector<Engine>& AllEngines() {
  static const std::vector<Engine> engines = {
      {"sync", {}, 0x73}, {"async", {"-a", "3"}, 0x61}, {"threaded", {"-t", "3"}, 0x74}};
  return engines;
}

std::vector<std::string> With(const Engine& e, std::vector<std::string> args) {
  args.insert(args.begin(), e.args.begin(), e.args.end());
  return args;
}

int Sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }

LoopFs::LoopFs(int megabytes) {
  mkdir(mnt_.c_str(), 0755);
  if (Sh("truncate -s " + std::to_string(megabytes) + "M " + image_) != 0 ||
      Sh("mkfs.ext4 -q -F -m 0 " + image_) != 0)
    return;
  if (FILE* p = popen(("losetup -f --show " + image_ + " 2>/dev/null").c_str(), "r")) {
    char dev[64] = "";
    if (fgets(dev, sizeof dev, p)) device_ = std::string(dev, strcspn(dev, "\n"));
    pclose(p);
  }
  ok_ = !device_.empty() && Sh("mount " + device_ + " " + mnt_) == 0 &&
        mkdir(frames().c_str(), 0755) == 0;
}

LoopFs::~LoopFs() {
  if (frozen_) Freeze(false);
  if (ok_) Sh("umount -l " + mnt_);
  if (!device_.empty()) Sh("losetup -d " + device_);
}

bool LoopFs::CutTo(int megabytes) {
  return Sh("sync") == 0 && Sh("truncate -s " + std::to_string(megabytes) + "M " + image_) == 0 &&
         Sh("losetup -c " + device_) == 0;
}

bool LoopFs::Freeze(bool frozen) {
  bool done = Sh(std::string("fsfreeze ") + (frozen ? "-f " : "-u ") + mnt_) == 0;
  if (done) frozen_ = frozen;
  return done;
}

std::string LoopFs::Throttle(int64_t bytesPerSecond) const {
  struct stat st;
  std::string dev = stat(device_.c_str(), &st) == 0 ? std::to_string(major(st.st_rdev)) + ":" +
                                                          std::to_string(minor(st.st_rdev))
                                                    : "0:0";
  return "for io in read write; do echo " + dev + " " + std::to_string(bytesPerSecond) +
         " > $cg/blkio.throttle.${io}_bps_device; done";
}
