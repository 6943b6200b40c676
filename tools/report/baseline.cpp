#include "baseline.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "output.h"

namespace report {
namespace {

using json = nlohmann::ordered_json;
using results::Direction;
using results::Field;
using results::Figure;

// A key path through a document that may be damaged: reading a key that is
// missing or of the wrong type throws with the path ("logs[0].engine").
class At {
 public:
  At(const json& j, std::string path) : j_(j), path_(std::move(path)) {}
  At operator[](const char* key) const {
    std::string p = path_.empty() ? key : path_ + "." + key;
    if (!j_.is_object() || !j_.contains(key)) throw std::runtime_error(p + " is missing");
    return At(j_[key], p);
  }
  At operator[](size_t i) const {
    std::string p = path_ + "[" + std::to_string(i) + "]";
    if (i >= Array().size()) throw std::runtime_error(p + " is missing");
    return At(Array()[i], p);
  }
  size_t size() const { return Array().size(); }
  double Num() const {
    if (!j_.is_number()) Wrong("a number");
    return j_.get<double>();
  }
  std::string Str() const {
    if (!j_.is_string()) Wrong("text");
    return j_.get<std::string>();
  }
  bool Bool() const {
    if (!j_.is_boolean()) Wrong("true or false");
    return j_.get<bool>();
  }
  // A scalar as the comparison shows it; null is "none".
  std::string Text() const {
    if (j_.is_null()) return "none";
    if (j_.is_string()) return j_.get<std::string>();
    if (j_.is_boolean()) return j_.get<bool>() ? "yes" : "no";
    if (j_.is_number()) return j_.dump();
    Wrong("a value");
  }
  const json& Raw() const { return j_; }

 private:
  const json& Array() const {
    if (!j_.is_array()) Wrong("a list");
    return j_;
  }
  [[noreturn]] void Wrong(const char* what) const {
    throw std::runtime_error(path_ + " is not " + std::string(what));
  }
  const json& j_;
  std::string path_;
};

// The documents' times are whole microseconds in milliseconds: in seconds
// they read back as the same decimal.
double Seconds(double ms) { return std::round(ms * 1000) / 1e6; }

std::string RateName(double rate) {
  char buf[32];
  snprintf(buf, sizeof buf, "%g", rate);
  return buf;
}

// The items of a parameter string that no named field covers (order, files
// per directory, loops, crop...), without the frame count.
std::string OtherParameters(const std::string& params) {
  std::istringstream in(params);
  std::string item, out;
  while (in >> item) {
    if (item.size() >= 2 && item[0] == '-' &&
        std::string("wrznsatfqbi").find(item[1]) != std::string::npos)
      continue;
    out += (out.empty() ? "" : " ") + item;
  }
  return out.empty() ? "none" : out;
}

struct Params {
  std::vector<std::pair<std::string, std::string>> must, shown;
};

// The run parameters of a document, as text, in the order shown.
Params ParamsOf(const At& doc) {
  Params p;
  At logs = doc["logs"], opt = doc["options"];
  p.must.push_back({"logs", std::to_string(logs.size())});
  p.must.push_back({"I/O mode", opt["io_mode"].Text()});
  p.must.push_back({"model queue", opt["queue"].Text()});
  p.must.push_back({"model pre-buffer", opt["prebuffer"].Text()});
  for (size_t i = 0; i < logs.size(); i++) {
    At log = logs[i];
    std::string pre = logs.size() > 1 ? "log " + std::to_string(i + 1) + " " : "";
    const std::pair<const char*, const char*> must[] = {{"direction", "direction"},
                                                        {"frame size", "frame_size_bytes"},
                                                        {"engine", "engine"},
                                                        {"engine ops", "engine_ops"},
                                                        {"stream", "stream"},
                                                        {"I/Os per frame", "ios_per_frame"},
                                                        {"frame rate", "frame_rate_fps"},
                                                        {"queue", "queue_size"},
                                                        {"pre-buffer", "prebuffer_frames"}};
    for (const auto& [name, key] : must) p.must.push_back({pre + name, log[key].Text()});
    p.must.push_back({pre + "other parameters", OtherParameters(log["parameters"].Str())});
    const std::pair<const char*, const char*> shown[] = {{"host", "hostname"},
                                                         {"kernel", "kernel"},
                                                         {"target", "test_path"},
                                                         {"ordavi version", "version"},
                                                         {"frames", "frames"}};
    for (const auto& [name, key] : shown) p.shown.push_back({pre + name, log[key].Text()});
  }
  return p;
}

std::vector<Field> Pair(const std::vector<std::pair<std::string, std::string>>& base,
                        const std::vector<std::pair<std::string, std::string>>& now) {
  std::vector<Field> out;
  for (const auto& [name, text] : now) {
    std::string b = "absent";
    for (const auto& [n, t] : base)
      if (n == name) b = t;
    out.push_back({name, b, text});
  }
  for (const auto& [name, text] : base) {
    bool found = false;
    for (const auto& [n, t] : now) found = found || n == name;
    if (!found) out.push_back({name, text, "absent"});
  }
  return out;
}

// The job's figures; each carries its value in `now`. Times get the floor
// `toleranceMs`.
std::vector<Figure> FiguresOf(const At& doc, double toleranceMs = 0) {
  std::vector<Figure> f;
  At job = doc["job"];
  f.push_back({"fps", Direction::kHigherIsBetter, 0, job["measured_fps"].Num()});
  f.push_back({"MiB/s", Direction::kHigherIsBetter, 0, job["bandwidth_mib_per_s"].Num()});
  f.push_back({"dropped frames", Direction::kLowerIsBetter, 0, job["dropped_frames"].Num()});
  for (const char* phase : kPhaseNames)
    for (const auto& [name, key] :
         {std::pair("p50", "p50_ms"), std::pair("p99", "p99_ms"), std::pair("p99.9", "p99_9_ms")})
      f.push_back({std::string(phase) + " " + name + " ms", Direction::kLowerIsBetter, 0,
                   job["phases"][phase][key].Num(), toleranceMs});
  f.push_back({"longest stall ms", Direction::kLowerIsBetter, 0,
               job["longest_stall"]["gap_ms"].Num(), toleranceMs});
  At verdicts = job["verdict"];
  for (size_t i = 0; i < verdicts.size(); i++) {
    std::string rate = RateName(verdicts[i]["rate_fps"].Num());
    f.push_back({"sustained at " + rate + " fps", Direction::kFlag, 0,
                 verdicts[i]["sustained"].Bool() ? 1.0 : 0.0});
    f.push_back({"headroom at " + rate + " fps", Direction::kHigherIsBetter, 0,
                 verdicts[i]["headroom_ratio"].Num()});
  }
  return f;
}

}  // namespace

json LoadBaseline(const std::string& path) {
  auto fail = [&](const std::string& what) -> BaselineError {
    return BaselineError("baseline " + path + ": " + what);
  };
  // A baseline is a few hundred kilobytes; anything far larger (a device, a
  // wrong file) is refused before it fills the memory.
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path.c_str(), "rb"), fclose);
  if (!f) throw fail(std::string("cannot open: ") + strerror(errno));
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) {
    text.append(buf, n);
    if (text.size() > kMaxBaselineBytes)
      throw fail("larger than 64 MiB, not a JSON document of ordavi-report");
  }
  if (ferror(f.get())) throw fail(std::string("cannot read: ") + strerror(errno));
  return ParseBaseline(text, path);
}

json ParseBaseline(const std::string& text, const std::string& path) {
  auto fail = [&](const std::string& what) -> BaselineError {
    return BaselineError("baseline " + path + ": " + what);
  };
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    // nlohmann's text: "[json.exception.parse_error.101] parse error at line 3, ...".
    std::string what = e.what();
    size_t at = what.find("] ");
    throw fail("not a JSON document (" + (at == std::string::npos ? what : what.substr(at + 2)) +
               ")");
  }
  if (!doc.is_object() || !doc.contains("generator") || doc["generator"] != "ordavi-report")
    throw fail("not a JSON document of ordavi-report (it has no \"generator\": \"ordavi-report\")");
  if (!doc.contains("schema_version") || !doc["schema_version"].is_number_integer())
    throw fail("damaged: it has no schema_version");
  if (doc["schema_version"] != kSchemaVersion)
    throw fail("schema version " + doc["schema_version"].dump() +
               ", but this ordavi-report reads " + std::to_string(kSchemaVersion) +
               "; write the baseline again from its logs with this ordavi-report --json");
  try {
    At a(doc, "");
    ParamsOf(a);
    FiguresOf(a);
  } catch (const std::runtime_error& e) {
    throw fail(std::string("damaged: ") + e.what());
  }
  return doc;
}

results::Comparison CompareWithBaseline(const json& baseline, const json& now,
                                        const std::string& baselineFile, double tolerancePct,
                                        double toleranceMs, bool force) {
  results::Comparison c;
  c.baselineFile = baselineFile;
  c.tolerancePct = tolerancePct;
  At base(baseline, ""), cur(now, "");
  Params pb = ParamsOf(base), pn = ParamsOf(cur);
  results::CheckFields(Pair(pb.must, pn.must), Pair(pb.shown, pn.shown), &c);
  if (!c.mismatches.empty() && !force) return c;
  c.forced = !c.mismatches.empty();
  char note[64];
  snprintf(note, sizeof note, "times within %g ms the same", toleranceMs);
  c.floorNote = note;
  results::CompareFigures(FiguresOf(base), FiguresOf(cur, toleranceMs), &c);
  return c;
}

std::vector<results::MetricFamily> ReportMetrics(const json& doc) {
  At d(doc, ""), first = d["logs"][size_t(0)], job = d["job"];
  std::vector<std::pair<std::string, std::string>> labels = {
      {"host", first["hostname"].Str()},
      {"target", first["test_path"].Str()},
      {"direction", first["direction"].Str()},
      {"frame_size", first["frame_size_bytes"].Text()},
      {"engine", first["engine"].Str()},
      {"rate",
       first["frame_rate_fps"].Raw().is_null() ? "unpaced" : first["frame_rate_fps"].Text()},
      {"streams", std::to_string(d["logs"].size())}};
  auto with = [&](std::vector<std::pair<std::string, std::string>> more, double v) {
    results::MetricSample s{labels, v};
    s.labels.insert(s.labels.end(), more.begin(), more.end());
    return s;
  };
  std::vector<Figure> figures = FiguresOf(d);
  auto figure = [&](const std::string& name) {
    for (const Figure& f : figures)
      if (f.name == name) return f.now;
    return 0.0;
  };
  std::vector<results::MetricFamily> m;
  m.push_back({"ordavi_frames_per_second",
               "Frames completed per second over the run (all streams).",
               "gauge",
               {with({}, figure("fps"))}});
  m.push_back({"ordavi_throughput_bytes_per_second",
               "Bytes transferred per second over the run (all streams).",
               "gauge",
               {with({}, figure("MiB/s") * 1048576)}});
  m.push_back({"ordavi_dropped_frames",
               "Frames dropped by the paced run (all streams).",
               "gauge",
               {with({}, figure("dropped frames"))}});
  results::MetricFamily phases{"ordavi_frame_phase_seconds",
                               "Percentiles of the time per frame in each phase.",
                               "gauge",
                               {}};
  for (const char* phase : kPhaseNames)
    for (const auto& [q, key] :
         {std::pair("50", "p50_ms"), std::pair("99", "p99_ms"), std::pair("99.9", "p99_9_ms")})
      phases.samples.push_back(
          with({{"phase", phase}, {"percentile", q}}, Seconds(job["phases"][phase][key].Num())));
  m.push_back(phases);
  m.push_back({"ordavi_longest_stall_seconds",
               "Longest time between two consecutive frame completions.",
               "gauge",
               {with({}, Seconds(figure("longest stall ms")))}});
  results::MetricFamily sustained{"ordavi_rate_sustained",
                                  "1 when the storage sustains the judged frame rate, else 0.",
                                  "gauge",
                                  {}},
      headroom{"ordavi_rate_headroom_ratio",
               "Capacity in frames per second over the judged rate.",
               "gauge",
               {}};
  At verdicts = job["verdict"];
  for (size_t i = 0; i < verdicts.size(); i++) {
    std::string rate = RateName(verdicts[i]["rate_fps"].Num());
    sustained.samples.push_back(
        with({{"judged_rate", rate}}, verdicts[i]["sustained"].Bool() ? 1 : 0));
    headroom.samples.push_back(with({{"judged_rate", rate}}, verdicts[i]["headroom_ratio"].Num()));
  }
  m.push_back(sustained);
  m.push_back(headroom);
  double end = -1;
  for (size_t i = 0; i < d["logs"].size(); i++) {
    const json& t = d["logs"][i]["end_time_epoch_s"].Raw();
    if (t.is_number()) end = std::max(end, t.get<double>());
  }
  if (end >= 0)
    m.push_back({"ordavi_run_end_time_seconds",
                 "When the run ended (its timing log was written), in seconds since the epoch.",
                 "gauge",
                 {with({}, end)}});
  if (doc.contains("comparison")) {
    results::MetricFamily cmp{"ordavi_comparison_figures",
                              "Figures judged better, same or worse than the baseline.",
                              "gauge",
                              {}};
    for (const char* j : {"better", "same", "worse"})
      cmp.samples.push_back(with({{"judgement", j}}, d["comparison"][j].Num()));
    m.push_back(cmp);
  }
  return m;
}

}  // namespace report
