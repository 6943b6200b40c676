#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "formats.h"
#include "report_assets.h"
#include "version.h"

namespace streams {

using json = nlohmann::ordered_json;

namespace {

std::string Fmt(const char* f, double v) {
  char buf[64];
  snprintf(buf, sizeof buf, f, v);
  return buf;
}

std::string RateText(const Config& c) {
  std::string s = Fmt("%g", c.rate) + " fps";
  if (double(c.wholeRate) != c.rate) s += " (run at " + std::to_string(c.wholeRate) + ")";
  return s;
}

std::string Mix(int reads, int writes) {
  std::string s;
  if (reads) s += std::to_string(reads) + " read";
  if (writes) s += std::string(s.empty() ? "" : " + ") + std::to_string(writes) + " write";
  return s;
}

std::string FirstDropText(const ProbeResult& p) {
  const StreamResult* f = p.FirstDrop();
  if (!f) return "";
  return std::string(DirName(f->write)) + " " + std::to_string(f->number) + " at " +
         Fmt("%.2f", f->firstDropS) + " s";
}

// The first failing stream's reason, for the table.
std::string Why(const ProbeResult& p) {
  if (p.interrupted) return "interrupted";
  for (const StreamResult& s : p.streams)
    if (!s.passed)
      return std::string(DirName(s.write)) + " " + std::to_string(s.number) + ": " + s.reason;
  return "";
}

}  // namespace

void PrintProbeLine(FILE* out, const Config&, const ProbeResult& p) {
  fprintf(out, "probe %2d %-7s %4d streams (%s): %s, %ld dropped%s%s, %.1f MiB/s\n", p.number,
          p.role, p.streamsCount(), Mix(p.reads, p.writes).c_str(),
          p.interrupted ? "interrupted"
          : p.passed    ? "pass"
                        : "FAIL",
          long(p.dropped), p.FirstDrop() ? ", first " : "", FirstDropText(p).c_str(),
          p.aggregateMiBps);
  fflush(out);
}

void PrintTable(FILE* out, const Config&, const RunSummary& o) {
  fprintf(out,
          "\n probe  role     read  write  result       dropped  first drop          MiB/s"
          "  spread ms  note\n");
  for (const ProbeResult& p : o.probes)
    fprintf(out, " %5d  %-7s %5d  %5d  %-11s %8ld  %-18s %7.1f  %9.1f  %s\n", p.number, p.role,
            p.reads, p.writes,
            p.interrupted ? "interrupted"
            : p.passed    ? "pass"
                          : "FAIL",
            long(p.dropped), FirstDropText(p).c_str(), p.aggregateMiBps, p.startSpreadMs,
            Why(p).c_str());
}

void PrintAnswer(FILE* out, const Config& c, const RunSummary& o) {
  const std::string what =
      c.formatName.empty() ? std::to_string(c.bytesPerFrame / 1024) + " KB frames" : c.formatName;
  double per = MiBps(c.bytesPerFrame, c.rate);
  fprintf(out, "\n");
  if (o.interrupted)
    fprintf(out, "Interrupted (%s): the answer is the best found so far.\n",
            strsignal(o.stopSignal));
  if (!o.stoppedBecause.empty()) fprintf(out, "Stopped: %s.\n", o.stoppedBecause.c_str());
  const ProbeResult* a = o.answerProbe >= 0 ? &o.probes[size_t(o.answerProbe)] : nullptr;
  const ProbeResult* f = o.failureProbe >= 0 ? &o.probes[size_t(o.failureProbe)] : nullptr;
  if (o.search) {
    bool write = c.maxDirection == 'w';
    std::string fixed;
    if (c.reads + c.writes > 0)
      fixed =
          " beside " + Mix(c.reads, c.writes) + " stream" + (c.reads + c.writes == 1 ? "" : "s");
    int total = a ? a->streamsCount() : 0;
    fprintf(out, "%d %s stream%s of %s at %s%s, %.1f MiB/s in all", o.answer, DirName(write),
            o.answer == 1 ? "" : "s", what.c_str(), RateText(c).c_str(), fixed.c_str(),
            per * total);
  } else {
    fprintf(out, "%s stream%s of %s at %s, %.1f MiB/s in all: %s", Mix(c.reads, c.writes).c_str(),
            c.reads + c.writes == 1 ? "" : "s", what.c_str(), RateText(c).c_str(),
            per * (c.reads + c.writes), a ? "sustained, no frame dropped" : "NOT sustained");
  }
  if (f) {
    fprintf(out, "; %d stream%s dropped %ld frame%s", f->streamsCount(),
            f->streamsCount() == 1 ? "" : "s", long(f->dropped), f->dropped == 1 ? "" : "s");
    if (const StreamResult* d = f->FirstDrop())
      fprintf(out, ", %s stream %d first at %.2f s", DirName(d->write), d->number, d->firstDropS);
    std::string why = Why(*f);
    if (f->dropped == 0 && !why.empty()) fprintf(out, " (%s)", why.c_str());
  }
  fprintf(out, ".\n");
  if (o.lowered) fprintf(out, "A confirmation failed: the answer was lowered.\n");
  if (a)
    fprintf(out,
            "Margin at the answer: %.2f (the smallest headroom of any stream: the frame rate "
            "its storage time would sustain over the rate asked for).\n",
            a->MinHeadroom());
  if (!o.probes.empty())
    fprintf(out, "Logs: %s/probeNNN/ (ordavi-report reads a probe's logs as one job).\n",
            c.logs.c_str());
}

json ToJson(const Config& c, const RunSummary& o) {
  json doc;
  doc["schema_version"] = kSchemaVersion;
  doc["tool"] = "ordavi-streams";
  doc["version"] = ORDAVI_VERSION;
  json& par = doc["parameters"];
  par["dir"] = c.dir;
  par["format"] = c.formatName.empty() ? json(nullptr) : json(c.formatName);
  par["bytes_per_frame"] = c.bytesPerFrame;
  par["rate"] = c.rate;
  par["rate_run"] = c.wholeRate;
  par["mib_per_s_per_stream"] = MiBps(c.bytesPerFrame, c.rate);
  par["duration_s"] = c.duration;
  par["frames_per_stream"] = c.frames;
  par["read"] = c.reads;
  par["write"] = c.writes;
  par["max"] = c.maxDirection ? json(DirName(c.maxDirection == 'w')) : json(nullptr);
  par["limit"] = c.limit;
  par["repeat"] = c.repeat;
  par["stagger_ms"] = c.staggerMs;
  par["launcher"] = c.launcher == Launcher::kLocal ? "local" : "mpirun";
  par["mpirun_args"] = c.mpirunArgs;
  par["ordavi_options"] = c.passThrough;
  par["logs"] = c.logs;

  json& ans = doc["answer"];
  ans["streams"] = o.answer;
  ans["direction"] = o.search ? json(DirName(c.maxDirection == 'w')) : json("mix");
  const ProbeResult* a = o.answerProbe >= 0 ? &o.probes[size_t(o.answerProbe)] : nullptr;
  ans["probe"] = a ? json(a->number) : json(nullptr);
  ans["mib_per_s"] = a ? MiBps(c.bytesPerFrame, c.rate) * a->streamsCount() : 0.0;
  ans["measured_mib_per_s"] = a ? a->aggregateMiBps : 0.0;
  ans["margin"] = a ? json(a->MinHeadroom()) : json(nullptr);
  ans["lowered_by_confirmation"] = o.lowered;
  const ProbeResult* f = o.failureProbe >= 0 ? &o.probes[size_t(o.failureProbe)] : nullptr;
  ans["first_failure"] =
      f ? json{{"probe", f->number}, {"streams", f->streamsCount()}, {"dropped_frames", f->dropped}}
        : json(nullptr);
  doc["interrupted"] = o.interrupted;
  doc["stopped_because"] = o.stoppedBecause.empty() ? json(nullptr) : json(o.stoppedBecause);

  json probes = json::array();
  for (const ProbeResult& p : o.probes) {
    json j;
    j["probe"] = p.number;
    j["role"] = p.role;
    j["streams"] = p.streamsCount();
    j["read_streams"] = p.reads;
    j["write_streams"] = p.writes;
    j["passed"] = p.passed;
    j["interrupted"] = p.interrupted;
    j["dropped_frames"] = p.dropped;
    j["aggregate_mib_per_s"] = p.aggregateMiBps;
    // ordavi-mpi measures its ranks' start spread itself (in mpirun.out).
    j["start_spread_ms"] = c.launcher == Launcher::kLocal ? json(p.startSpreadMs) : json(nullptr);
    j["seconds"] = p.seconds;
    j["margin"] = p.MinHeadroom();
    j["log_dir"] = p.logDir;
    json list = json::array();
    for (const StreamResult& s : p.streams) {
      json t;
      t["direction"] = DirName(s.write);
      t["stream"] = s.number;
      t["target"] = s.target;
      t["log"] = s.log;
      t["passed"] = s.passed;
      t["reason"] = s.reason;
      t["exit_status"] = s.status;
      t["signal"] = s.signal;
      t["frames"] = s.frames;
      t["dropped_frames"] = s.dropped;
      t["fps"] = s.fps;
      t["mib_per_s"] = s.mibps;
      t["longest_frame_ms"] = s.longestMs;
      t["p99_9_frame_ms"] = s.p999Ms;
      t["headroom"] = s.headroom;
      t["launch_ms"] = s.launchMs;
      t["first_drop_s"] = s.firstDropS >= 0 ? json(s.firstDropS) : json(nullptr);
      list.push_back(t);
    }
    j["per_stream"] = list;
    probes.push_back(j);
  }
  doc["probes"] = probes;
  return doc;
}

extern const char kStreamsPage[];

bool WriteHtml(FILE* out, const json& doc) {
  std::string page = kStreamsPage;
  std::string js = doc.dump(-1, ' ', false, json::error_handler_t::replace);
  for (size_t at = 0; (at = js.find("</", at)) != std::string::npos; at += 3)
    js.replace(at, 2, "<\\/");
  auto put = [&](const char* p, size_t n) { return fwrite(p, 1, n, out) == n; };
  bool ok = true;
  const std::pair<const char*, std::pair<const char*, size_t>> parts[] = {
      {"@UPLOT_CSS@", {kUplotCss, kUplotCssSize}},
      {"@UPLOT_LICENSE@", {kUplotLicense, kUplotLicenseSize}},
      {"@UPLOT_JS@", {kUplotJs, kUplotJsSize}},
      {"@DOC_JSON@", {js.data(), js.size()}},
  };
  for (const auto& [marker, bytes] : parts) {
    size_t at = page.find(marker);
    if (at == std::string::npos) return false;
    ok = ok && put(page.data(), at) && put(bytes.first, bytes.second);
    page.erase(0, at + strlen(marker));
  }
  return ok && put(page.data(), page.size()) && fflush(out) == 0;
}

bool WriteAtomically(const std::string& path, const std::function<bool(FILE*)>& write,
                     std::string* error) {
  if (path == "-") {
    bool ok = write(stdout) && fflush(stdout) == 0;
    if (!ok) *error = std::string("cannot write to standard output: ") + strerror(errno);
    return ok;
  }
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  // mkstemp makes the file private; give it the mode a new file would get.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE* f = fdopen(fd, "w");
  bool ok = f && write(f) && fflush(f) == 0 && fsync(fd) == 0;
  int err = errno;
  if (f ? fclose(f) != 0 : close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    *error = "cannot write " + path + ": " + strerror(err);
  }
  return ok;
}

}  // namespace streams
