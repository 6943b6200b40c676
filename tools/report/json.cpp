// The JSON document: every figure of every log and of the job, for scripts.
#include <time.h>

#include "output.h"

namespace report {
namespace {

using json = nlohmann::ordered_json;

// When the log was written (the run's end), from its Date and Time lines in
// the local time zone; null when they do not read as a date.
json EpochOf(const std::string& date, const std::string& time) {
  struct tm tm = {};
  std::string text = date + " " + time;
  const char* end = strptime(text.c_str(), "%d-%b-%Y %H:%M:%S", &tm);
  if (!end || *end != '\0') return nullptr;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  return t == time_t(-1) ? json(nullptr) : json(int64_t(t));
}

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
  // The OS line is the system's name, release and version: the kernel is
  // the release.
  size_t from = log.os.find(' '), to = log.os.find(' ', from + 1);
  j["kernel"] = from == std::string::npos ? "" : log.os.substr(from + 1, to - from - 1);
  j["hostname"] = log.hostname;
  j["end_time_epoch_s"] = EpochOf(log.date, log.time);
  j["test_path"] = log.testPath;
  j["parameters"] = log.parameters;
  j["direction"] = p.isWrite ? "write" : "read";
  j["frame_size_bytes"] = p.frameSizeBytes;
  j["ios_per_frame"] = p.iosPerFrame;
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

}  // namespace

json ToJson(const Report& r) {
  json doc;
  doc["schema_version"] = kSchemaVersion;
  doc["generator"] = "ordavi-report";
  doc["generator_version"] = ORDAVI_REPORT_VERSION;
  doc["rates_fps"] = r.options.rates;
  // What the logs do not say but the figures depend on: the model's
  // options and the I/O mode of the runs.
  doc["options"] = {
      {"queue", r.options.queueSize > 0 ? json(r.options.queueSize) : json(nullptr)},
      {"prebuffer", r.options.preBuffer >= 0 ? json(r.options.preBuffer) : json(nullptr)},
      {"io_mode", r.options.buffered ? "buffered" : "direct"}};
  json logs = json::array();
  for (size_t i = 0; i < r.logs.size(); i++) logs.push_back(LogJson(r.logs[i], r.analyses[i]));
  doc["logs"] = logs;
  const JobAnalysis& j = r.job;
  double fps = 0, mib = 0;
  for (const TimingLog& log : r.logs) {
    fps += log.frameRateFps;
    mib += log.bandwidthMiBps;
  }
  doc["job"] = {{"logs", r.logs.size()},
                {"measured_fps", fps},
                {"bandwidth_mib_per_s", mib},
                {"frames_counted", j.frames},
                {"dropped_frames", j.droppedFrames},
                {"phases", PhasesJson(j.phases)},
                {"histogram", HistogramJson(j.histogram)},
                {"fps_per_second", j.fpsPerSecond},
                {"longest_stall", StallJson(j.stall)},
                {"verdict", VerdictJson(j.verdicts)}};
  return doc;
}

}  // namespace report
