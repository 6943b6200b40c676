// The run second by second, as JSON Lines: one object per second of each
// log, frames placed by their completion, drops where the analysis placed
// them.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "analysis.h"

namespace report {

// One object per second from 0 to the run's last completion or placed drop:
// log, second, frames, mib_per_s, p50_ms / p99_ms / max_ms of the file time
// of the frames completed in it (null without any), dropped_frames and, for
// a paced run, queue_min / queue_max of those frames.
std::vector<nlohmann::ordered_json> Series(const TimingLog& log, const LogAnalysis& a);

// Every log's series in turn, one object a line; false on a write error.
bool WriteSeries(FILE* out, const std::vector<TimingLog>& logs,
                 const std::vector<LogAnalysis>& analyses);

}  // namespace report
