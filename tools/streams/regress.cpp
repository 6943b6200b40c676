#include "regress.h"

#include <unistd.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <sstream>

#include "formats.h"
#include "metrics.h"
#include "version.h"

namespace streams {

using json = nlohmann::ordered_json;

bool ReadBaseline(const std::string& path, json* doc, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot open the baseline";
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  json d = json::parse(ss.str(), nullptr, false);
  auto bad = [&](const std::string& what) {
    *error = path + ": " + what;
    return false;
  };
  if (d.is_discarded()) return bad("not a JSON document (damaged or cut short)");
  if (!d.is_object() || d.value("tool", "") != "ordavi-streams")
    return bad("not a document of ordavi-streams --json");
  if (!d["schema_version"].is_number_integer() || d["schema_version"] != kSchemaVersion)
    return bad("schema version " + d["schema_version"].dump() + ", this ordavi-streams reads " +
               std::to_string(kSchemaVersion));
  const json& a = d["answer"];
  if (!d["parameters"].is_object() || !a.is_object() || !a["streams"].is_number_integer() ||
      !(a["margin"].is_number() || a["margin"].is_null()) || !a["mib_per_s"].is_number() ||
      !a["measured_mib_per_s"].is_number())
    return bad("the answer or the parameters are missing or not numbers");
  *doc = std::move(d);
  return true;
}

namespace {

std::string Text(const json& j) { return j.is_string() ? j.get<std::string>() : j.dump(); }

// The parameters of this run as its JSON writes them.
json Parameters(const Config& c) { return ToJson(c, RunSummary{})["parameters"]; }

}  // namespace

void CheckBaseline(const Config& c, const json& baseline, results::Comparison* out) {
  json now = Parameters(c);
  const json& was = baseline["parameters"];
  std::vector<results::Field> must, shown;
  for (const char* k : {"bytes_per_frame", "rate_run", "frames_per_stream", "read", "write", "max",
                        "launcher", "ordavi_options", "stagger_ms"})
    must.push_back({k, Text(was.contains(k) ? was[k] : json()), Text(now[k])});
  for (const char* k : {"format", "rate", "dir", "limit", "repeat"})
    shown.push_back({k, Text(was.contains(k) ? was[k] : json()), Text(now[k])});
  shown.push_back({"version", Text(baseline.value("version", json())), ORDAVI_VERSION});
  results::CheckFields(must, shown, out);
}

void CompareWithBaseline(const json& now, const json& baseline, results::Comparison* out) {
  auto fig = [](const char* name, const json& a, const json& b) {
    results::Figure f;
    f.name = name;
    f.baseline = a.is_number() ? a.get<double>() : 0;
    f.now = b.is_number() ? b.get<double>() : 0;
    return f;
  };
  const json &was = baseline["answer"], &is = now["answer"];
  // A single stream fewer is a real loss, whatever the tolerance.
  results::ComparedFigure answer =
      results::Judge(fig("answer (streams)", was["streams"], is["streams"]), 0);
  out->rows.push_back(answer);
  for (const auto& [name, key] :
       {std::pair("margin at the answer", "margin"),
        std::pair("MiB/s measured at the answer", "measured_mib_per_s")}) {
    if (was[key].is_number() && is[key].is_number())
      out->rows.push_back(results::Judge(fig(name, was[key], is[key]), out->tolerancePct));
    else
      out->notes.push_back(std::string(name) + ": not in both runs");
  }
}

std::string StreamsMetrics(const Config& c, const RunSummary& s, const json& doc,
                           const results::Comparison* comparison) {
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  const std::string direction = s.search ? DirName(c.maxDirection == 'w') : "mix";
  char rate[32];
  snprintf(rate, sizeof rate, "%g", c.rate);
  const std::vector<std::pair<std::string, std::string>> labels = {
      {"host", host},
      {"dir", c.dir},
      {"format",
       c.formatName.empty() ? std::to_string(c.bytesPerFrame / 1024) + "KB" : c.formatName},
      {"direction", direction},
      {"rate", rate}};
  auto one = [&](const char* name, const char* help, double v) {
    return results::MetricFamily{name, help, "gauge", {{labels, v}}};
  };
  const json& a = doc["answer"];
  std::vector<results::MetricFamily> f = {
      one("ordavi_streams_answer_streams", "Streams the storage carried without a dropped frame.",
          a["streams"].get<double>()),
      one("ordavi_streams_answer_bytes_per_second",
          "What the answer's streams ask for at the rate, in bytes per second.",
          a["mib_per_s"].get<double>() * 1048576),
      one("ordavi_streams_frame_bytes", "Bytes per frame of a stream.", double(c.bytesPerFrame)),
      one("ordavi_streams_interrupted", "1 when the run was stopped by a signal.",
          s.interrupted ? 1 : 0),
      one("ordavi_streams_end_time_seconds", "When the run ended, in seconds since the epoch.",
          double(time(nullptr))),
  };
  if (a["margin"].is_number())
    f.push_back(one("ordavi_streams_margin_ratio",
                    "Smallest headroom of any stream at the answer (capacity over the rate).",
                    a["margin"].get<double>()));
  results::MetricFamily passed{"ordavi_streams_probe_passed",
                               "1 when every stream of the probe ran without a dropped frame.",
                               "gauge",
                               {}},
      dropped{"ordavi_streams_probe_dropped_frames",
              "Frames the probe's streams dropped.",
              "gauge",
              {}},
      rateBytes{"ordavi_streams_probe_bytes_per_second",
                "Bytes the probe's streams moved per second, all together.",
                "gauge",
                {}};
  for (const ProbeResult& p : s.probes) {
    auto l = labels;
    l.push_back({"probe", std::to_string(p.number)});
    l.push_back({"streams", std::to_string(p.streamsCount())});
    passed.samples.push_back({l, p.passed ? 1.0 : 0.0});
    dropped.samples.push_back({l, double(p.dropped)});
    rateBytes.samples.push_back({l, p.aggregateMiBps * 1048576});
  }
  f.push_back(passed);
  f.push_back(dropped);
  f.push_back(rateBytes);
  if (comparison) {
    f.push_back(one("ordavi_streams_regression",
                    "1 when a figure is worse than in the baseline run.",
                    comparison->Count(results::Judgement::kWorse) > 0 ? 1 : 0));
  }
  return results::FormatMetrics(f);
}

}  // namespace streams
