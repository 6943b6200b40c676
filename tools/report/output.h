// ordavi-report's three outputs: the JSON document (json.cpp), the text
// report (text.cpp) and the self-contained HTML page (page.cpp).
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "analysis.h"

namespace report {

// 2: the report's version and options, each log's kernel, end time and
// I/Os per frame, the job's summed fps and bandwidth, and a comparison.
constexpr int kSchemaVersion = 2;

struct Report {
  Options options;
  std::vector<TimingLog> logs;
  std::vector<LogAnalysis> analyses;
  JobAnalysis job;
};

nlohmann::ordered_json ToJson(const Report& r);

// The short text report: run facts, verdict table, percentiles.
void WriteText(FILE* out, const Report& r);

// Writes the page to `out`; false on a write error (errno kept).
bool WriteHtml(FILE* out, const Report& r, const nlohmann::ordered_json& doc);

}  // namespace report
