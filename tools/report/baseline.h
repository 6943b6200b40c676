// ordavi-report's own use of the comparison and the metrics: an earlier JSON
// document as the baseline, what must match between two runs, the figures
// judged, and the metric families of a run.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "compare.h"
#include "metrics.h"

namespace report {

// A baseline that cannot be used: the message names the file and the fault.
class BaselineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads an earlier `--json` document (at most 64 MiB) and checks that it is
// one of this schema with every key a comparison reads. Throws
// BaselineError.
constexpr size_t kMaxBaselineBytes = size_t(64) << 20;
nlohmann::ordered_json LoadBaseline(const std::string& path);
// The same for the document's text; `path` names it in messages.
nlohmann::ordered_json ParseBaseline(const std::string& text, const std::string& path);

// The comparison of the document written now with the baseline: the run
// parameters first (mismatches, shown differences), then, when they match
// or `force`, the job's figures. A time that changes by at most
// `toleranceMs` is the same, whatever the per cent.
results::Comparison CompareWithBaseline(const nlohmann::ordered_json& baseline,
                                        const nlohmann::ordered_json& now,
                                        const std::string& baselineFile, double tolerancePct,
                                        double toleranceMs, bool force);

// The job's figures as metric families (with the comparison's counts when
// the document has one).
std::vector<results::MetricFamily> ReportMetrics(const nlohmann::ordered_json& doc);

}  // namespace report
