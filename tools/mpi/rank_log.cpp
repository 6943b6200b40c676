#include "rank_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "screen/summary.h"
#include "screen/timing_log_writer.h"

namespace {

std::string DirOf(const std::string& name) {
  size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

FILE* Wrap(int fd) {
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "w");
  if (!f) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

}  // namespace

bool RankLog::Prepare(const std::string& name) {
  name_ = name;
  struct stat st;
  bool exists = lstat(name.c_str(), &st) == 0;
  if (!exists || S_ISREG(st.st_mode)) {
    f_ = Wrap(open(DirOf(name).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!f_) {
      // No unnamed files here (a network file system, say): a named one.
      std::string tmp = name + ".tmp" + std::to_string(getpid());
      f_ = Wrap(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
      if (f_) tmpName_ = tmp;
    }
    if (!f_ && !exists) return false;
  }
  if (!f_) {
    // Not a regular file, or one in a directory this rank may not write in.
    inPlace_ = true;
    f_ = OpenTimingLog(name.c_str());
    return f_ != nullptr;
  }
  if (unlink(name.c_str()) != 0 && errno != ENOENT) {
    int err = errno;
    Discard();
    errno = err;
    return false;
  }
  return true;
}

int RankLog::Commit(int nFrames, const char* path) {
  if (!f_) return 1;
  // An unnamed file gets a name while it is still open: a second descriptor
  // outlives the close that flushes the log.
  int keep = tmpName_.empty() && !inPlace_ ? dup(fileno(f_)) : -1;
  FILE* f = f_;
  f_ = nullptr;
  int err = WriteAndCloseLog(f, nFrames, path);
  if (err == 0 && !inPlace_) {
    if (tmpName_.empty()) {
      std::string tmp = name_ + ".tmp" + std::to_string(getpid());
      std::string proc = "/proc/self/fd/" + std::to_string(keep);
      unlink(tmp.c_str());
      if (keep < 0 || linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) != 0)
        err = keep < 0 ? EBADF : errno;
      else
        tmpName_ = tmp;
    }
    if (err == 0 && rename(tmpName_.c_str(), name_.c_str()) != 0) err = errno;
    if (err == 0) tmpName_.clear();
  }
  if (keep >= 0) close(keep);
  Discard();
  if (err != 0) {
    fprintf(stderr, "Could not write log file \"%s\": %s\n", name_.c_str(), strerror(err));
    return 1;
  }
  return 0;
}

void RankLog::Discard() {
  if (f_) fclose(f_);
  f_ = nullptr;
  if (!tmpName_.empty()) unlink(tmpName_.c_str());
  tmpName_.clear();
}
