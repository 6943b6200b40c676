// What ordavi-streams shows and writes: one line per probe as it ends, the
// probe table and the answer at the end, the JSON document and the page.
#pragma once

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "streams.h"

namespace streams {

constexpr int kSchemaVersion = 1;

// The result of the whole run.
struct RunSummary {
  std::vector<ProbeResult> probes;
  bool search = false;
  int answer = 0;         // streams of the searched direction, or of the whole mix
  int answerProbe = -1;   // index of the probe the answer's figures come from, -1: none
  int failureProbe = -1;  // the smallest count that failed above the answer
  bool lowered = false;   // a confirmation failed and lowered the answer
  bool interrupted = false;
  int stopSignal = 0;
  std::string stoppedBecause;  // a preparation that failed, ...
};

void PrintProbeLine(FILE* out, const Config& c, const ProbeResult& p);
void PrintTable(FILE* out, const Config& c, const RunSummary& o);
// The answer in one sentence, the margin and where the logs are.
void PrintAnswer(FILE* out, const Config& c, const RunSummary& o);

nlohmann::ordered_json ToJson(const Config& c, const RunSummary& o);
// The page: capacity curve, probe table, the answer's streams. False on a
// write error.
bool WriteHtml(FILE* out, const nlohmann::ordered_json& doc);

// Writes `path` through a temporary file in the same directory renamed into
// place, so that no half-written file is ever left; "-" is standard output.
bool WriteAtomically(const std::string& path, const std::function<bool(FILE*)>& write,
                     std::string* error);

// "read" / "write".
inline const char* DirName(bool write) { return write ? "write" : "read"; }

}  // namespace streams
