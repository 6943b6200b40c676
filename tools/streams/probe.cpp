// A probe: its streams' command lines, their targets and logs, and the
// results read back from each stream's timing log with ordavi-report's
// reader and model.
#include "probe.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "analysis.h"
#include "timing_log.h"

namespace fs = std::filesystem;

namespace streams {

namespace {

std::string Rank(int index) {
  char buf[16];
  snprintf(buf, sizeof buf, "rank%04d", index);
  return buf;
}

std::string SizeKb(const Config& c) { return std::to_string(c.bytesPerFrame / 1024); }

std::string ReadSmall(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A child's last message: the last non-empty line of a file, with the line
// before it when that one is ordavi's error number ("Error 2: ...").
std::string LastLine(const std::string& path) {
  std::string text = ReadSmall(path), last, before;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    before = last;
    last = line;
  }
  if (last.rfind("Error ", 0) == 0 && !before.empty()) last = before + ": " + last;
  if (last.size() > 300) last = last.substr(0, 300) + "...";
  return last;
}

// What a prepared read stream was written with.
std::string Stamp(const Config& c) {
  std::string s =
      "bytes=" + std::to_string(c.bytesPerFrame) + " frames=" + std::to_string(c.frames);
  for (const std::string& a : c.layout) s += " " + a;
  return s;
}

// A stamp of the same size and layout with at least as many frames.
bool StampFits(const std::string& have, const Config& c) {
  int64_t bytes = -1, frames = -1;
  char rest[512] = "";
  if (sscanf(have.c_str(), "bytes=%ld frames=%ld%511[^\n]", &bytes, &frames, rest) < 2)
    return false;
  std::string layout;
  for (const std::string& a : c.layout) layout += " " + a;
  return bytes == c.bytesPerFrame && frames >= c.frames && layout == rest;
}

std::vector<std::string> Common(const Config& c) {
  std::vector<std::string> a = {"-u", "0", "--noinfo"};
  a.insert(a.end(), c.passThrough.begin(), c.passThrough.end());
  a.insert(a.end(), {"-f", std::to_string(c.wholeRate), "-n", std::to_string(c.frames)});
  return a;
}

void Direction(const Config& c, bool write, std::vector<std::string>* a) {
  if (write) {
    a->insert(a->end(), {"-w", SizeKb(c)});
  } else {
    a->insert(a->end(), {"-r", "-z", SizeKb(c)});
  }
}

}  // namespace

int64_t FreeBytes(const std::string& path) {
  struct statvfs s;
  if (statvfs(path.c_str(), &s) != 0) return -1;
  return int64_t(s.f_bavail) * int64_t(s.f_frsize);
}

std::string TargetOf(const Config& c, bool write, int index) {
  std::string base = c.work + (write ? "/write" : "/read");
  return c.streamFile ? base + "." + Rank(index) : base + "/" + Rank(index);
}

bool PrepareReads(const Config& c, int count, int64_t reserveBytes, Signals& signals,
                  std::vector<int>* written, std::string* error) {
  std::error_code ec;
  fs::create_directories(c.work + "/read", ec);
  std::vector<int> missing;
  for (int i = 0; i < count; i++)
    if (!StampFits(ReadSmall(TargetOf(c, false, i) + ".ready"), c)) missing.push_back(i);
  if (missing.empty()) return true;

  int64_t need = int64_t(missing.size()) * c.frames * c.bytesPerFrame;
  int64_t free = FreeBytes(c.dir);
  need += reserveBytes;
  if (free >= 0 && free < need + need / 50) {
    char msg[256];
    snprintf(msg, sizeof msg,
             "%s has %.1f MiB free; the frames of %zu more read stream(s) and the probe's writers "
             "need %.1f MiB",
             c.dir.c_str(), double(free) / 1048576, missing.size(), double(need) / 1048576);
    *error = msg;
    return false;
  }
  for (size_t k = 0; k < missing.size(); k++) {
    int i = missing[k];
    std::string target = TargetOf(c, false, i);
    fs::remove_all(target, ec);
    fs::remove(target + ".ready", ec);
    if (!c.streamFile) fs::create_directories(target, ec);
    fprintf(stderr,
            "ordavi-streams: writing the frames of read stream %d (%zu of %zu): %ld x %ld bytes\n",
            i + 1, k + 1, missing.size(), long(c.frames), long(c.bytesPerFrame));
    Launch l;
    l.argv = {c.ordavi, "-u", "0", "--noinfo"};
    l.argv.insert(l.argv.end(), c.layout.begin(), c.layout.end());
    l.argv.insert(l.argv.end(), {"-n", std::to_string(c.frames), "-w", SizeKb(c), target});
    l.outPath = c.work + "/prepare.out";
    l.errPath = c.work + "/prepare.err";
    Outcome o = RunGroup(signals, {l}, {}).at(0);
    if (!o.started || o.signal != 0 || o.status != 0 || signals.stopSignal != 0) {
      fs::remove_all(target, ec);
      *error = signals.stopSignal != 0
                   ? "interrupted while writing the frames of read stream " + std::to_string(i + 1)
                   : "writing the frames of read stream " + std::to_string(i + 1) + " failed (" +
                         DescribeEnd(o) + "): " + LastLine(l.errPath);
      return false;
    }
    std::ofstream(target + ".ready") << Stamp(c) << "\n";
    written->push_back(i);
  }
  fs::remove(c.work + "/prepare.out", ec);
  fs::remove(c.work + "/prepare.err", ec);
  return true;
}

namespace {

void ReadResults(const Config& c, StreamResult* s) {
  std::vector<std::string> warnings;
  try {
    report::TimingLog log = report::ReadTimingLog(s->log, &warnings);
    report::Options o;
    o.rates = {c.rate};
    report::LogAnalysis a = report::Analyse(log, o);
    s->logRead = true;
    s->frames = int64_t(a.counted.size());
    s->dropped = log.droppedFrames;
    s->fps = log.frameRateFps;
    s->mibps = log.bandwidthMiBps;
    // Its end: the last completion, or in playback the moment the last frame
    // was shown, which comes later when reads run ahead into the queue.
    double endMs = a.durationMs;
    for (uint32_t r : a.counted)
      if (r < log.frameTime.size()) endMs = std::max(endMs, double(log.frameTime[r]) / 1000);
    s->endMs = s->launchMs + endMs;
    if (!a.counted.empty()) {
      s->longestMs = a.phases[report::kFile].maxMs;
      s->p999Ms = a.phases[report::kFile].pctMs[3];
    }
    if (!a.verdicts.empty()) s->headroom = a.verdicts[0].headroom;
    if (!a.drops.empty()) s->firstDropS = (s->launchMs + a.drops[0].timeMs) / 1000;
  } catch (const report::LogError& e) {
    s->reason = std::string("no usable timing log (") + e.what() + ")";
  }
}

}  // namespace

void RunProbe(const Config& c, Signals& signals, ProbeResult* p) {
  std::error_code ec;
  char name[32];
  snprintf(name, sizeof name, "probe%03d", p->number);
  p->logDir = c.logs + "/" + name;
  fs::remove_all(p->logDir, ec);
  fs::create_directories(p->logDir, ec);
  fs::remove_all(c.work + "/write", ec);
  for (int i = 0; i < p->writes; i++) fs::remove(TargetOf(c, true, i), ec);
  fs::create_directories(c.work + "/write", ec);

  for (int w = 0; w < 2; w++) {
    int n = w ? p->writes : p->reads;
    for (int i = 0; i < n; i++) {
      StreamResult s;
      s.write = w == 1;
      s.number = i + 1;
      s.target = TargetOf(c, s.write, i);
      s.log = p->logDir + "/" + (s.write ? "write." : "read.") + Rank(i) + ".csv";
      p->streams.push_back(s);
    }
  }

  // Generous: a stream that cannot keep up drops frames and still ends near
  // its nominal time; one that hangs is stopped.
  int64_t nominalNs = int64_t(double(c.frames) / c.wholeRate * 1e9);
  GroupOptions go;
  go.timeoutNs =
      3 * nominalNs + int64_t(c.staggerMs) * 1000000 * p->streamsCount() + 60 * int64_t(1000000000);
  if (isatty(STDERR_FILENO)) {
    go.progress = [p, nominalNs](double s) {
      fprintf(stderr, "\r  probe %d: %d stream(s), %.0f s of about %.0f s ", p->number,
              p->streamsCount(), s, double(nominalNs) / 1e9);
      fflush(stderr);
    };
  }

  std::vector<Launch> launches;
  if (c.launcher == Launcher::kLocal) {
    for (size_t k = 0; k < p->streams.size(); k++) {
      const StreamResult& s = p->streams[k];
      if (s.write && !c.streamFile) fs::create_directories(s.target, ec);
      Launch l;
      l.argv = {c.ordavi};
      std::vector<std::string> common = Common(c);
      l.argv.insert(l.argv.end(), common.begin(), common.end());
      l.argv.insert(l.argv.end(), {"-x", s.log});
      Direction(c, s.write, &l.argv);
      l.argv.push_back(s.target);
      std::string stem = s.log.substr(0, s.log.size() - 4);
      l.outPath = stem + ".out";
      l.errPath = stem + ".err";
      l.offsetNs = int64_t(c.staggerMs) * 1000000 * int64_t(k);
      launches.push_back(l);
    }
  } else {
    // One job of one direction: ordavi-mpi gives rank R the target
    // <path>/rankRRRR (<path>.rankRRRR with -s) and the log
    // <log>.rankRRRR.csv, the names used above.
    bool write = p->writes > 0;
    Launch l;
    l.argv = {c.mpirun};
    l.argv.insert(l.argv.end(), c.mpirunArgs.begin(), c.mpirunArgs.end());
    l.argv.insert(l.argv.end(), {"-np", std::to_string(p->streamsCount()), c.ordaviMpi});
    std::vector<std::string> common = Common(c);
    l.argv.insert(l.argv.end(), common.begin(), common.end());
    l.argv.insert(l.argv.end(), {"-x", p->logDir + (write ? "/write.csv" : "/read.csv")});
    Direction(c, write, &l.argv);
    l.argv.push_back(c.work + (write ? "/write" : "/read"));
    l.outPath = p->logDir + "/mpirun.out";
    l.errPath = p->logDir + "/mpirun.err";
    launches.push_back(l);
  }

  int64_t t0 = NowNs();
  std::vector<Outcome> outcomes = RunGroup(signals, launches, go);
  p->seconds = double(NowNs() - t0) / 1e9;
  if (go.progress) fprintf(stderr, "\r%*s\r", 60, "");
  p->interrupted = signals.stopSignal != 0;

  double lo = 1e300, hi = -1e300;
  for (size_t k = 0; k < p->streams.size(); k++) {
    StreamResult& s = p->streams[k];
    const Outcome& o = outcomes[c.launcher == Launcher::kLocal ? k : 0];
    s.status = o.started ? o.status : -1;
    s.signal = o.signal;
    if (c.launcher == Launcher::kLocal) {
      s.launchMs = double(o.launchNs) / 1e6;
      if (o.started) {
        double late = s.launchMs - double(c.staggerMs) * double(k);
        lo = std::min(lo, late);
        hi = std::max(hi, late);
      }
    }
    ReadResults(c, &s);
    std::string errPath = c.launcher == Launcher::kLocal
                              ? s.log.substr(0, s.log.size() - 4) + ".err"
                              : p->logDir + "/mpirun.err";
    std::string why;
    if (o.timedOut) {
      why = "did not end in time, stopped";
    } else if (!o.started || o.signal != 0 || o.status != 0) {
      why = DescribeEnd(o);
      if (o.status == 2)
        why = "ordavi error: " + LastLine(errPath);
      else if (o.started && o.signal == 0)
        why += ": " + LastLine(errPath);
    }
    if (p->interrupted) why = "interrupted";
    if (why.empty() && !s.reason.empty()) why = s.reason;
    if (why.empty() && s.dropped > 0) why = "dropped " + std::to_string(s.dropped) + " frame(s)";
    if (why.empty() && s.frames < c.frames) {
      why = "only " + std::to_string(s.frames) + " of " + std::to_string(c.frames) + " frames";
      std::string said = LastLine(errPath);
      if (!said.empty()) why += ": " + said;
    }
    s.reason = why;
    s.passed = why.empty();
    p->dropped += s.dropped;
  }
  // The aggregate: every byte the streams moved over the span from the first
  // launch to the last completion of any stream.
  double first = 1e300, last = 0, bytes = 0;
  for (const StreamResult& s : p->streams) {
    if (!s.logRead) continue;
    first = std::min(first, s.launchMs);
    last = std::max(last, s.endMs);
    bytes += double(s.frames) * double(c.bytesPerFrame);
  }
  if (last > first) p->aggregateMiBps = bytes / 1048576 / ((last - first) / 1000);
  if (hi >= lo) p->startSpreadMs = hi - lo;
  p->passed = !p->streams.empty() && !p->interrupted &&
              std::all_of(p->streams.begin(), p->streams.end(),
                          [](const StreamResult& s) { return s.passed; });

  // A write probe's frames are not kept: the next probe writes afresh.
  fs::remove_all(c.work + "/write", ec);
  for (int i = 0; i < p->writes; i++) fs::remove(TargetOf(c, true, i), ec);
}

const StreamResult* ProbeResult::FirstDrop() const {
  const StreamResult* first = nullptr;
  for (const StreamResult& s : streams)
    if (s.firstDropS >= 0 && (!first || s.firstDropS < first->firstDropS)) first = &s;
  return first;
}

int ProbeResult::DroppingStreams() const {
  return int(std::count_if(streams.begin(), streams.end(),
                           [](const StreamResult& s) { return s.dropped > 0; }));
}

double ProbeResult::MinHeadroom() const {
  double m = 0;
  bool any = false;
  for (const StreamResult& s : streams)
    if (s.logRead && (!any || s.headroom < m)) {
      m = s.headroom;
      any = true;
    }
  return m;
}

}  // namespace streams
