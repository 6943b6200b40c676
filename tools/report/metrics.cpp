#include "metrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace results {
namespace {

std::string EscapeHelp(const std::string& v) {
  std::string s;
  for (char c : v) {
    if (c == '\\')
      s += "\\\\";
    else if (c == '\n')
      s += "\\n";
    else
      s += c;
  }
  return s;
}

std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);  // shortest text that reads back exactly
  return std::string(buf, res.ptr);
}

}  // namespace

std::string EscapeLabelValue(const std::string& v) {
  std::string s;
  for (char c : v) {
    if (c == '\\')
      s += "\\\\";
    else if (c == '"')
      s += "\\\"";
    else if (c == '\n')
      s += "\\n";
    else
      s += c;
  }
  return s;
}

std::string FormatMetrics(const std::vector<MetricFamily>& families) {
  std::string out;
  for (const MetricFamily& f : families) {
    if (f.samples.empty()) continue;
    out += "# HELP " + f.name + " " + EscapeHelp(f.help) + "\n";
    out += "# TYPE " + f.name + " " + f.type + "\n";
    for (const MetricSample& s : f.samples) {
      out += f.name;
      for (size_t i = 0; i < s.labels.size(); i++)
        out += (i ? "," : "{") + s.labels[i].first + "=\"" + EscapeLabelValue(s.labels[i].second) +
               "\"" + (i + 1 == s.labels.size() ? "}" : "");
      out += " " + Number(s.value) + "\n";
    }
  }
  return out;
}

bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmp;
  int fd = -1;
  // O_EXCL: never write into a file someone else made; the mode is reduced
  // by the umask as for any new file.
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    tmp =
        dir + "." + base + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = "cannot create a temporary file beside " + path + ": " + strerror(errno);
    return false;
  }
  const char* p = content.data();
  size_t left = content.size();
  int err = 0;
  while (left > 0 && err == 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    p += n;
    left -= size_t(n);
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(tmp.c_str());
    *error = "cannot write " + path + ": " + strerror(err);
    return false;
  }
  return true;
}

}  // namespace results
