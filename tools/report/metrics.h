// Metrics in the Prometheus text exposition format, as node_exporter's
// textfile collector reads them: one HELP and TYPE line per family, no time
// stamps, a final newline; and a file written so that a reader never sees
// half of it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace results {

struct MetricSample {
  std::vector<std::pair<std::string, std::string>> labels;  // name, value
  double value = 0;
};

struct MetricFamily {
  std::string name;  // with its unit: "ordavi_longest_stall_seconds"
  std::string help;
  std::string type = "gauge";
  std::vector<MetricSample> samples;
};

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& v);

// The exposition text of `families`; a family without samples is left out.
// Values are written so that they read back exactly.
std::string FormatMetrics(const std::vector<MetricFamily>& families);

// Writes `content` to a new file beside `path` (a hidden name that does not
// end in ".prom") and renames it to `path`, with the permissions a new file
// gets under the umask. On failure the temporary file is removed, `path` is
// left as it was, and `error` says what failed.
bool WriteFileAtomically(const std::string& path, const std::string& content, std::string* error);

}  // namespace results
