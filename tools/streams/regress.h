// A run compared with an earlier one of its own (--baseline), and its
// figures as Prometheus metrics (--metrics). The judging, the table and the
// metrics file are the shared ones ordavi-report uses; this file only says
// which figures and parameters of a capacity search they are.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "compare.h"
#include "output.h"
#include "streams.h"

namespace streams {

// Reads an earlier ordavi-streams JSON document. False with `error` (naming
// the file and what is wrong) when it cannot be read, is not such a
// document, is of another schema version or lacks what a comparison needs.
bool ReadBaseline(const std::string& path, nlohmann::ordered_json* doc, std::string* error);

// Checks that the baseline ran the same test: fills the comparison's
// mismatches (which refuse it unless forced) and differences (shown).
void CheckBaseline(const Config& c, const nlohmann::ordered_json& baseline,
                   results::Comparison* out);

// Judges the answer (any fewer streams is worse), the margin and the
// aggregate MiB/s at the answer (beyond the tolerance).
void CompareWithBaseline(const nlohmann::ordered_json& now, const nlohmann::ordered_json& baseline,
                         results::Comparison* out);

// The metrics text of a run (and of its comparison, when there is one).
std::string StreamsMetrics(const Config& c, const RunSummary& s, const nlohmann::ordered_json& doc,
                           const results::Comparison* comparison);

}  // namespace streams
