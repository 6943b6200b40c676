#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

RunResult RunOrdavi(const std::vector<std::string>& args, int timeoutSec, int interruptAfterMs,
                    int signal, int runAsUid) {
  return RunProgram(ORDAVI_BINARY, args, timeoutSec, interruptAfterMs, signal, runAsUid);
}

RunResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                     int timeoutSec, int interruptAfterMs, int signal, int runAsUid) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return {};
  }
  std::vector<std::string> argvStore;
  argvStore.push_back(binary);
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
    // A new process group of its own, so that the ordavi's setpriority on its
    // process group and our SIGINT reach only it.
    setpgid(0, 0);
    if (runAsUid >= 0 && (setgroups(0, nullptr) != 0 || setgid(gid_t(runAsUid)) != 0 ||
                          setuid(uid_t(runAsUid)) != 0))
      _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);

  RunResult r;
  r.pid = int(pid);
  int64_t start = NowMs();
  bool interrupted = false, killed = false;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    int64_t elapsed = NowMs() - start;
    if (!interrupted && interruptAfterMs >= 0 && elapsed >= interruptAfterMs) {
      kill(pid, signal);
      interrupted = true;
    }
    if (!killed && elapsed >= int64_t(timeoutSec) * 1000) {
      kill(pid, SIGKILL);
      killed = true;
    }
    int n = poll(fds, 2, 10);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      } else {
        (i == 0 ? r.out : r.err).append(buf, size_t(got));
      }
    }
  }
  // Its output is closed: the process is ending (a kill above ended it).
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status))
    r.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    r.status = 128 + WTERMSIG(status);
  if (killed) ADD_FAILURE() << binary << " did not finish within " << timeoutSec << " s";
  return r;
}

TempDir::TempDir() {
  std::filesystem::create_directories(ORDAVI_TEST_TMPDIR);
  std::string tmpl = std::string(ORDAVI_TEST_TMPDIR) + "/t.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int64_t FileSizeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return st.st_size;
}

bool AllBytesAre(const std::string& path, unsigned char value) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  unsigned char buf[65536];
  size_t n;
  bool ok = true;
  while (ok && (n = fread(buf, 1, sizeof buf, f)) > 0)
    for (size_t i = 0; i < n; i++)
      if (buf[i] != value) {
        ok = false;
        break;
      }
  fclose(f);
  return ok;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
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
  std::vector<std::string> rows;
  bool in = false;
  for (auto& line : SplitLines(ReadFile(csvPath))) {
    if (in) rows.push_back(line);
    if (line.rfind("num,", 0) == 0) in = true;
  }
  return rows;
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
