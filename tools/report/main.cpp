// ordavi-report: turns timing logs written by `ordavi -x` into percentiles,
// a verdict per frame rate, a JSON document and an HTML page.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "analysis.h"
#include "baseline.h"
#include "escape.h"
#include "output.h"
#include "series.h"

namespace {

const char kUsage[] =
    "Usage: ordavi-report [options] LOG.csv [LOG.csv ...]\n"
    "\n"
    "Reads timing logs written by 'ordavi -x' and reports percentiles, the run over\n"
    "time, dropped frames and, for each frame rate, whether the storage sustains it.\n"
    "Several logs are one job run side by side. Without --json or --html it prints\n"
    "a text report on standard output.\n"
    "\n"
    " Options:\n"
    "   --json FILE       Write the results as JSON to FILE ('-' for standard output)\n"
    "   --html FILE       Write a self-contained HTML page with charts to FILE\n"
    "   --rates LIST      Comma-separated frame rates to judge, each above 0 and at\n"
    "                     most 1000 (default 23.976,24,25,29.97,30,48,50,59.94,60)\n"
    "   --queue NUM       Queue size for the model, 1 to 10000 (default: the rate,\n"
    "                     rounded, as 'ordavi -f' sets it)\n"
    "   --prebuffer NUM   Pre-buffered frames for the model, 0 to 9999 (default 5,\n"
    "                     at most the queue size - 1)\n"
    "   --buffered        The runs used buffered I/O (ordavi -B), which logs do not\n"
    "                     record; kept in the JSON for comparisons\n"
    "   --baseline FILE   Compare with a JSON document written earlier by --json\n"
    "   --tolerance PCT   Changes within PCT per cent are the same (default 10)\n"
    "   --tolerance-ms MS Time changes within MS milliseconds are the same (default 0.1)\n"
    "   --force           Compare even when the runs' parameters differ\n"
    "   --fail-on-regression  Exit with status 3 when a figure is worse than the baseline\n"
    "   --series FILE     Write each second of each run as JSON Lines ('-': standard output)\n"
    "   --metrics FILE    Write the figures as Prometheus metrics (a .prom file)\n"
    "   --help            Show this text\n"
    "\n"
    "Exit status: 0 done; 1 bad options, a log or baseline that cannot be read,\n"
    "runs that are not comparable, or an output that cannot be written; 3 with\n"
    "--fail-on-regression, a figure worse than the baseline.\n";

[[noreturn]] void UsageError(const std::string& msg) {
  fprintf(stderr, "ordavi-report: %s\nTry 'ordavi-report --help'.\n",
          report::ForTerminal(msg).c_str());
  exit(1);
}

bool ParseRates(const std::string& text, std::vector<double>* out) {
  out->clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = text.substr(pos, comma == std::string::npos ? comma : comma - pos);
    char* end = nullptr;
    errno = 0;
    double v = strtod(item.c_str(), &end);
    if (item.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || v <= 0 || v > 1000)
      return false;
    out->push_back(v);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return !out->empty();
}

int ParseCount(const std::string& opt, const std::string& text, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi)
    UsageError(opt + " needs a whole number from " + std::to_string(lo) + " to " +
               std::to_string(hi) + ", not '" + text + "'");
  return int(v);
}

// The temporary file being written, removed if a signal ends the program.
char g_tempPath[4096];

void RemoveTempAndDie(int sig) {
  if (g_tempPath[0] != '\0') unlink(g_tempPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Writes to standard output, or to a named file through a temporary name
// beside it that is renamed into place only once the file is whole: a report
// file that exists is never a half-written one, and an earlier one stays
// until the new one replaces it. A name that exists and is no regular file
// (a device, a FIFO) is written directly.
bool WriteOutput(const std::string& path, const char* what,
                 const std::function<bool(FILE*)>& write) {
  const std::string shown = report::ForTerminal(path);
  auto failed = [&](const char* doing, int err) {
    fprintf(stderr, "ordavi-report: cannot %s %s file %s: %s\n", doing, what, shown.c_str(),
            strerror(err));
    return false;
  };
  if (path == "-") {
    bool ok = write(stdout);
    return (fflush(stdout) == 0 && ok && !ferror(stdout)) || failed("write", errno);
  }
  struct stat st;
  const bool direct = stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  std::string target = path;
  if (!direct && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Replace the file the link names, not the link.
    if (char* real = realpath(path.c_str(), nullptr)) {
      target = real;
      free(real);
    }
  }
  std::string temp = target + ".tmp.XXXXXX";
  FILE* f = nullptr;
  if (direct) {
    f = fopen(path.c_str(), "wb");
  } else if (temp.size() < sizeof g_tempPath) {
    int fd = mkstemp(temp.data());
    if (fd >= 0) {
      memcpy(g_tempPath, temp.c_str(), temp.size() + 1);
      // mkstemp makes the file private; a report gets the usual mode.
      mode_t mask = umask(0);
      umask(mask);
      if (fchmod(fd, 0666 & ~mask) != 0 || !(f = fdopen(fd, "wb"))) {
        int err = errno;
        close(fd);
        errno = err;
      }
    }
  } else {
    errno = ENAMETOOLONG;
  }
  if (!f) {
    int err = errno;
    if (g_tempPath[0] != '\0') unlink(g_tempPath);
    g_tempPath[0] = '\0';
    return failed("create", err);
  }
  bool ok = write(f);
  ok = fflush(f) == 0 && ok && !ferror(f);
  int saved = errno;
  if (fclose(f) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && !direct && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok && !direct) unlink(temp.c_str());
  g_tempPath[0] = '\0';
  return ok || failed("write", saved);
}

// The comparison as the terminal shows it: the baseline's texts are
// untrusted too.
results::Comparison ForTerminal(results::Comparison c) {
  c.baselineFile = report::ForTerminal(c.baselineFile);
  for (auto* fields : {&c.mismatches, &c.differences})
    for (results::Field& f : *fields) {
      f.baseline = report::ForTerminal(f.baseline);
      f.now = report::ForTerminal(f.now);
    }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  report::Report r;
  std::string jsonPath, htmlPath, baselinePath, seriesPath, metricsPath;
  double tolerance = 10, toleranceMs = 0.1;
  bool force = false, failOnRegression = false;
  std::vector<std::string> files;
  bool optionsDone = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (optionsDone || a.size() < 2 || a[0] != '-') {
      files.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsDone = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--force" || a == "--fail-on-regression" || a == "--buffered") {
      (a == "--force" ? force : a == "--buffered" ? r.options.buffered : failOnRegression) = true;
      continue;
    }
    std::string name = a, value;
    bool hasValue = false;
    size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      hasValue = true;
    }
    if (name != "--json" && name != "--html" && name != "--rates" && name != "--queue" &&
        name != "--prebuffer" && name != "--baseline" && name != "--tolerance" &&
        name != "--tolerance-ms" && name != "--series" && name != "--metrics")
      UsageError("unknown option '" + a + "'");
    if (!hasValue) {
      if (i + 1 >= argc) UsageError(name + " needs a value");
      value = argv[++i];
    }
    if (name == "--json") {
      if (value.empty()) UsageError("--json needs a file name");
      jsonPath = value;
    } else if (name == "--html") {
      if (value.empty() || value == "-") UsageError("--html needs a file name");
      htmlPath = value;
    } else if (name == "--rates") {
      if (!ParseRates(value, &r.options.rates))
        UsageError(
            "--rates needs frame rates above 0 and at most 1000, separated by commas, "
            "not '" +
            value + "'");
    } else if (name == "--baseline" || name == "--series" || name == "--metrics") {
      if (value.empty() || (value == "-" && name != "--series"))
        UsageError(name + " needs a file name");
      (name == "--baseline" ? baselinePath : name == "--series" ? seriesPath : metricsPath) = value;
    } else if (name == "--tolerance" || name == "--tolerance-ms") {
      char* end = nullptr;
      errno = 0;
      double v = strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || errno != 0 || !(v >= 0 && v <= 1000))
        UsageError(name + " needs a number from 0 to 1000, not '" + value + "'");
      (name == "--tolerance" ? tolerance : toleranceMs) = v;
    } else if (name == "--queue") {
      r.options.queueSize = ParseCount(name, value, 1, 10000);
    } else {
      r.options.preBuffer = ParseCount(name, value, 0, 9999);
    }
  }
  if (files.empty()) UsageError("no timing log given");
  if (seriesPath == "-" && jsonPath == "-")
    UsageError("--json and --series cannot both write to standard output");
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, RemoveTempAndDie);

  for (const std::string& f : files) {
    std::vector<std::string> warnings;
    try {
      r.logs.push_back(report::ReadTimingLog(f, &warnings));
    } catch (const report::LogError& e) {
      fprintf(stderr, "ordavi-report: %s\n", report::ForTerminal(e.what()).c_str());
      return 1;
    }
    for (const std::string& w : warnings)
      fprintf(stderr, "ordavi-report: %s\n", report::ForTerminal(w).c_str());
  }
  for (const report::TimingLog& log : r.logs) r.analyses.push_back(report::Analyse(log, r.options));
  r.job = report::AnalyseJob(r.logs, r.analyses);

  // The baseline is read and checked before anything is written, so that a
  // bad one leaves no output behind.
  nlohmann::ordered_json doc = report::ToJson(r);
  results::Comparison cmp;
  if (!baselinePath.empty()) {
    try {
      cmp = report::CompareWithBaseline(report::LoadBaseline(baselinePath), doc, baselinePath,
                                        tolerance, toleranceMs, force);
    } catch (const report::BaselineError& e) {
      fprintf(stderr, "ordavi-report: %s\n", report::ForTerminal(e.what()).c_str());
      return 1;
    }
    if (!cmp.mismatches.empty() && !force) {
      results::Comparison shown = ForTerminal(cmp);
      fprintf(stderr,
              "ordavi-report: the runs are not comparable with baseline %s: they differ in "
              "%s; --force compares them anyway\n",
              shown.baselineFile.c_str(), results::DescribeFields(shown.mismatches).c_str());
      return 1;
    }
    doc["comparison"] = results::ToJson(cmp);
  }

  bool ok = true;
  if (jsonPath.empty() && htmlPath.empty() && seriesPath != "-") {
    ok = WriteOutput("-", "text", [&](FILE* f) {
      report::WriteText(f, r);
      if (!baselinePath.empty()) results::WriteText(f, ForTerminal(cmp));
      return true;
    });
  }
  if (!jsonPath.empty())
    ok = WriteOutput(jsonPath, "JSON",
                     [&](FILE* f) {
                       std::string s = doc.dump(2, ' ', false,
                                                nlohmann::ordered_json::error_handler_t::replace);
                       s += '\n';
                       return fwrite(s.data(), 1, s.size(), f) == s.size();
                     }) &&
         ok;
  if (!htmlPath.empty())
    ok = WriteOutput(htmlPath, "HTML", [&](FILE* f) { return report::WriteHtml(f, r, doc); }) && ok;
  if (!seriesPath.empty())
    ok = WriteOutput(seriesPath, "series",
                     [&](FILE* f) { return report::WriteSeries(f, r.logs, r.analyses); }) &&
         ok;
  if (!metricsPath.empty()) {
    std::string error;
    if (!results::WriteFileAtomically(metricsPath,
                                      results::FormatMetrics(report::ReportMetrics(doc)), &error)) {
      fprintf(stderr, "ordavi-report: metrics: %s\n", report::ForTerminal(error).c_str());
      ok = false;
    }
  }
  if (!ok) return 1;
  return failOnRegression && cmp.Count(results::Judgement::kWorse) > 0 ? 3 : 0;
}
