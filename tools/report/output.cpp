#include "output.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "report_assets.h"

namespace report {
namespace {

using json = nlohmann::ordered_json;

json PhaseJson(const PhaseStats& s) {
  json j;
  j["count"] = s.count;
  j["min_ms"] = s.minMs;
  j["mean_ms"] = s.meanMs;
  j["stddev_ms"] = s.stddevMs;
  for (size_t i = 0; i < kPercentilesPpm.size(); i++)
    j[std::string(kPercentileNames[i]) + "_ms"] = s.pctMs[i];
  j["max_ms"] = s.maxMs;
  return j;
}

json PhasesJson(const std::array<PhaseStats, kPhases>& p) {
  json j = json::object();
  for (int i = 0; i < kPhases; i++) j[kPhaseNames[size_t(i)]] = PhaseJson(p[size_t(i)]);
  return j;
}

json HistogramJson(const std::array<int64_t, kHistColumns>& h) {
  json centres = json::array(), counts = json::array();
  for (int c = 0; c < kHistColumns; c++) {
    centres.push_back(HistogramColumnCentreMs(c));
    counts.push_back(h[size_t(c)]);
  }
  return {{"column_centre_ms", centres}, {"counts", counts}};
}

json StallJson(const Stall& s) {
  return {{"gap_ms", s.gapMs}, {"after_ms", s.afterMs}, {"frame", s.frame}};
}

json VerdictJson(const std::vector<Verdict>& vs) {
  json a = json::array();
  for (const Verdict& v : vs)
    a.push_back({{"rate_fps", v.rateFps},
                 {"basis", v.measured ? "measured" : "predicted"},
                 {"queue_size", v.queueSize},
                 {"prebuffer_frames", v.preBuffer},
                 {"dropped_frames", v.dropped},
                 {"sustained", v.sustained},
                 {"headroom_ratio", v.headroom}});
  return a;
}

json TableJson(const LogTableRow& r, bool paced) {
  json j = {{"file_ms", r.file}, {"open_ms", r.open}, {"io_ms", r.io}, {"close_ms", r.close}};
  if (paced) j["queue"] = r.queue;
  return j;
}

json LogJson(const TimingLog& log, const LogAnalysis& a) {
  const RunParams& p = log.params;
  json j;
  j["file"] = log.fileName;
  j["date"] = log.date;
  j["time"] = log.time;
  j["version"] = log.version;
  j["os"] = log.os;
  j["hostname"] = log.hostname;
  j["test_path"] = log.testPath;
  j["parameters"] = log.parameters;
  j["direction"] = p.isWrite ? "write" : "read";
  j["frame_size_bytes"] = p.frameSizeBytes;
  j["frames"] = p.frames;
  j["engine"] = p.engine;
  j["engine_ops"] = p.ops;
  j["stream"] = p.stream;
  j["paced"] = log.paced;
  j["frame_rate_fps"] = log.paced ? json(p.frameRate) : json(nullptr);
  j["queue_size"] = log.paced ? json(p.queueSize) : json(nullptr);
  j["prebuffer_frames"] = log.paced ? json(p.isWrite ? 0 : p.preBuffer) : json(nullptr);
  j["measured_fps"] = log.frameRateFps;
  j["bandwidth_mib_per_s"] = log.bandwidthMiBps;
  j["dropped_frames"] = log.droppedFrames;
  j["rows"] = log.rows();
  j["frames_counted"] = a.counted.size();
  j["truncated"] = log.truncated;
  j["duration_ms"] = a.durationMs;
  j["capacity_fps"] = a.capacityFps;
  j["log_table"] = {{"min", TableJson(log.tableMin, log.paced)},
                    {"avg", TableJson(log.tableAvg, log.paced)},
                    {"max", TableJson(log.tableMax, log.paced)}};
  j["phases"] = PhasesJson(a.phases);
  j["histogram"] = HistogramJson(a.histogram);
  j["fps_per_second"] = a.fpsPerSecond;
  j["longest_stall"] = StallJson(a.stall);
  if (log.paced) {
    json events = json::array();
    for (const DropEvent& d : a.drops)
      events.push_back({{"frame", d.frame}, {"time_ms", d.timeMs}, {"dropped_frames", d.count}});
    j["drops"] = {{"dropped_frames", log.droppedFrames},
                  {"located_frames", a.dropsLocated},
                  {"longest_run_frames", a.longestDropRun},
                  {"events", events}};
    j["jitter"] = {{"period_ms", a.jitter.periodMs},
                   {"interval_mean_ms", a.jitter.intervalMeanMs},
                   {"interval_stddev_ms", a.jitter.intervalStddevMs},
                   {"worst_lateness_ms", a.jitter.worstLatenessMs},
                   {"intervals", a.jitter.intervals}};
  } else {
    j["drops"] = nullptr;
    j["jitter"] = nullptr;
  }
  j["verdict"] = VerdictJson(a.verdicts);
  return j;
}

std::string RateText(double r) {
  char buf[32];
  snprintf(buf, sizeof buf, "%g", r);
  return buf;
}

void PhaseTable(FILE* out, const std::array<PhaseStats, kPhases>& phases) {
  fprintf(out, "  %-6s %9s %9s %9s %9s %9s %9s %9s %9s %9s %9s\n", "ms", "count", "min", "mean",
          "stddev", "p50", "p90", "p99", "p99.9", "p99.99", "max");
  for (int i = 0; i < kPhases; i++) {
    const PhaseStats& s = phases[size_t(i)];
    fprintf(out, "  %-6s %9lld %9.3f %9.3f %9.3f", kPhaseNames[size_t(i)], (long long)s.count,
            s.minMs, s.meanMs, s.stddevMs);
    for (double v : s.pctMs) fprintf(out, " %9.3f", v);
    fprintf(out, " %9.3f\n", s.maxMs);
  }
}

void VerdictTable(FILE* out, const std::vector<Verdict>& vs) {
  fprintf(out, "  %8s  %-9s  %5s  %6s  %8s  %-9s  %8s\n", "rate fps", "basis", "queue", "prebuf",
          "dropped", "sustained", "headroom");
  for (const Verdict& v : vs)
    fprintf(out, "  %8s  %-9s  %5d  %6d  %8lld  %-9s  %7.2fx\n", RateText(v.rateFps).c_str(),
            v.measured ? "measured" : "predicted", v.queueSize, v.preBuffer, (long long)v.dropped,
            v.sustained ? "yes" : "NO", v.headroom);
}

}  // namespace

json ToJson(const Report& r) {
  json doc;
  doc["schema_version"] = kSchemaVersion;
  doc["generator"] = "ordavi-report";
  doc["rates_fps"] = r.options.rates;
  json logs = json::array();
  for (size_t i = 0; i < r.logs.size(); i++) logs.push_back(LogJson(r.logs[i], r.analyses[i]));
  doc["logs"] = logs;
  const JobAnalysis& j = r.job;
  doc["job"] = {{"logs", r.logs.size()},
                {"frames_counted", j.frames},
                {"dropped_frames", j.droppedFrames},
                {"phases", PhasesJson(j.phases)},
                {"histogram", HistogramJson(j.histogram)},
                {"fps_per_second", j.fpsPerSecond},
                {"longest_stall", StallJson(j.stall)},
                {"verdict", VerdictJson(j.verdicts)}};
  return doc;
}

void WriteText(FILE* out, const Report& r) {
  for (size_t i = 0; i < r.logs.size(); i++) {
    const TimingLog& log = r.logs[i];
    const LogAnalysis& a = r.analyses[i];
    const RunParams& p = log.params;
    fprintf(out, "%s\n", log.fileName.c_str());
    fprintf(out, "  %s test, %lld-byte frames, %lld frames, %s engine",
            p.isWrite ? "write" : "read", (long long)p.frameSizeBytes, (long long)p.frames,
            p.engine.c_str());
    if (p.ops > 0) fprintf(out, " (%d)", p.ops);
    if (log.paced) {
      fprintf(out, ", paced at %d fps (queue %d", p.frameRate, p.queueSize);
      if (!p.isWrite) fprintf(out, ", pre-buffer %d", p.preBuffer);
      fprintf(out, ")");
    } else {
      fprintf(out, ", unpaced");
    }
    fprintf(out, "\n  %s %s, ordavi %s on %s (%s)\n", log.date.c_str(), log.time.c_str(),
            log.version.c_str(), log.hostname.c_str(), log.os.c_str());
    fprintf(out, "  %zu frames counted in %.3f s: %.2f fps, %.2f MiB/s, %lld dropped frames\n",
            a.counted.size(), a.durationMs / 1000, log.frameRateFps, log.bandwidthMiBps,
            (long long)log.droppedFrames);
    if (a.stall.frame >= 0)
      fprintf(out, "  longest stall %.3f ms at %.3f s (before frame %lld)\n", a.stall.gapMs,
              a.stall.afterMs / 1000, (long long)a.stall.frame);
    if (log.paced) {
      fprintf(
          out,
          "  %lld drops located in %zu places, the longest run %lld; pacing interval %.3f ms +- "
          "%.3f ms (period %.3f ms), "
          "worst lateness %.3f ms\n",
          (long long)a.dropsLocated, a.drops.size(), (long long)a.longestDropRun,
          a.jitter.intervalMeanMs, a.jitter.intervalStddevMs, a.jitter.periodMs,
          a.jitter.worstLatenessMs);
    }
    fprintf(out, "\n");
    VerdictTable(out, a.verdicts);
    fprintf(out, "\n");
    PhaseTable(out, a.phases);
    fprintf(out, "\n");
  }
  if (r.logs.size() > 1) {
    const JobAnalysis& j = r.job;
    fprintf(out, "Job of %zu logs side by side: %lld frames counted, %lld dropped frames\n",
            r.logs.size(), (long long)j.frames, (long long)j.droppedFrames);
    fprintf(out,
            "  every stream must sustain the rate; headroom is the smallest of any stream\n\n");
    VerdictTable(out, j.verdicts);
    fprintf(out, "\n");
    PhaseTable(out, j.phases);
    fprintf(out, "\n");
  }
}

std::string Base64(const void* data, size_t size) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.resize((size + 2) / 3 * 4);
  size_t o = 0, i = 0;
  for (; i + 2 < size; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  if (i < size) {
    uint32_t v = uint32_t(p[i]) << 16 | (i + 1 < size ? uint32_t(p[i + 1]) << 8 : 0);
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = '=';
  }
  return out;
}

bool WriteHtml(FILE* out, const Report& r, const json& doc) {
  // The page's template holds the markers below; everything is inline so
  // the file opens offline.
  std::string page(kPageHtml, kPageHtmlSize);
  auto put = [&](const std::string& s) { return fwrite(s.data(), 1, s.size(), out) == s.size(); };
  auto cut = [&](const std::string& marker, std::string* before) {
    size_t at = page.find(marker);
    *before = page.substr(0, at);
    page = at == std::string::npos ? "" : page.substr(at + marker.size());
  };
  std::string part;
  bool ok = true;

  // The summary for the page, without the arrays it gets in binary form.
  json summary = doc;
  std::string js = summary.dump(-1, ' ', false, json::error_handler_t::replace);
  // Inside a script element "</" must not appear.
  for (size_t at = 0; (at = js.find("</", at)) != std::string::npos; at += 3)
    js.replace(at, 2, "<\\/");

  cut("@UPLOT_CSS@", &part);
  ok = ok && put(part) && fwrite(kUplotCss, 1, kUplotCssSize, out) == kUplotCssSize;
  cut("@UPLOT_LICENSE@", &part);
  ok = ok && put(part) && fwrite(kUplotLicense, 1, kUplotLicenseSize, out) == kUplotLicenseSize;
  cut("@UPLOT_JS@", &part);
  ok = ok && put(part) && fwrite(kUplotJs, 1, kUplotJsSize, out) == kUplotJsSize;
  cut("@SUMMARY_JSON@", &part);
  ok = ok && put(part) && put(js);
  cut("@SERIES@", &part);
  ok = ok && put(part);

  // Per log: completion time (s) and file time (ms) of every counted frame,
  // in completion order, and the times of the drops, as little-endian
  // Float32 arrays in base64: about 11 bytes a frame.
  for (size_t l = 0; l < r.logs.size() && ok; l++) {
    const TimingLog& log = r.logs[l];
    const LogAnalysis& a = r.analyses[l];
    std::vector<uint32_t> order(a.counted);
    if (!std::is_sorted(order.begin(), order.end(),
                        [&](uint32_t x, uint32_t y) { return log.close[x] < log.close[y]; }))
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t x, uint32_t y) { return log.close[x] < log.close[y]; });
    std::vector<float> x(order.size()), y(order.size());
    for (size_t i = 0; i < order.size(); i++) {
      uint32_t row = order[i];
      x[i] = float(double(log.close[row]) / 1e6);
      y[i] = float(double(log.close[row] - log.start[row]) / 1000);
    }
    std::vector<float> drops;
    // A drop placed after the last completion (the display still showing
    // queued frames) is marked at the chart's right edge.
    for (const DropEvent& d : a.drops)
      drops.push_back(x.empty() ? 0.0f : std::clamp(float(d.timeMs / 1000), x.front(), x.back()));
    ok = put("<script type=\"application/octet-stream\" class=\"series\" data-log=\"" +
             std::to_string(l) + "\" data-x=\"" + Base64(x.data(), x.size() * 4) + "\" data-y=\"" +
             Base64(y.data(), y.size() * 4) + "\" data-drops=\"" +
             Base64(drops.data(), drops.size() * 4) + "\"></script>\n");
  }
  ok = ok && put(page);
  return ok;
}

}  // namespace report
