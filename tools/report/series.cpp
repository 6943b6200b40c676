#include "series.h"

#include <algorithm>
#include <climits>

namespace report {

std::vector<nlohmann::ordered_json> Series(const TimingLog& log, const LogAnalysis& a) {
  using json = nlohmann::ordered_json;
  // File times (µs) and queue figures of the frames completed in each second.
  std::vector<std::vector<int64_t>> times(a.fpsPerSecond.size());
  std::vector<std::pair<int64_t, int64_t>> queue(times.size(), {INT64_MAX, -1});
  for (uint32_t r : a.counted) {
    size_t sec = size_t(log.close[r] / 1000000);
    if (sec >= times.size()) continue;  // cannot happen: fpsPerSecond covers every completion
    times[sec].push_back(log.close[r] - log.start[r]);
    if (log.paced && log.frameTime[r] >= 0) {
      queue[sec].first = std::min<int64_t>(queue[sec].first, log.queue[r]);
      queue[sec].second = std::max<int64_t>(queue[sec].second, log.queue[r]);
    }
  }
  // Each dropped period in the second it fell in.
  std::vector<int64_t> drops(times.size(), 0);
  for (const DropEvent& d : a.drops)
    for (int64_t k = 0; k < d.count; k++) {
      double ms = d.timeMs + double(k) * a.jitter.periodMs;
      size_t sec = size_t(std::max(0.0, ms) / 1000);
      if (sec >= drops.size()) drops.resize(sec + 1, 0);
      drops[sec]++;
    }
  times.resize(drops.size());
  queue.resize(drops.size(), {INT64_MAX, -1});

  std::vector<json> out;
  double mib = double(log.params.frameSizeBytes) / (1024.0 * 1024.0);
  for (size_t s = 0; s < times.size(); s++) {
    std::vector<int64_t>& t = times[s];
    json o;
    o["log"] = log.fileName;
    o["second"] = s;
    o["frames"] = t.size();
    o["mib_per_s"] = double(t.size()) * mib;
    if (t.empty()) {
      o["p50_ms"] = o["p99_ms"] = o["max_ms"] = nullptr;
    } else {
      o["p50_ms"] = double(NearestRank(t, kPercentilesPpm[0])) / 1000;
      o["p99_ms"] = double(NearestRank(t, kPercentilesPpm[2])) / 1000;
      o["max_ms"] = double(*std::max_element(t.begin(), t.end())) / 1000;
    }
    o["dropped_frames"] = drops[s];
    if (log.paced) {
      bool any = queue[s].second >= 0;
      o["queue_min"] = any ? json(queue[s].first) : json(nullptr);
      o["queue_max"] = any ? json(queue[s].second) : json(nullptr);
    }
    out.push_back(std::move(o));
  }
  return out;
}

bool WriteSeries(FILE* out, const std::vector<TimingLog>& logs,
                 const std::vector<LogAnalysis>& analyses) {
  for (size_t l = 0; l < logs.size(); l++)
    for (const auto& o : Series(logs[l], analyses[l])) {
      std::string s = o.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
      s += '\n';
      if (fwrite(s.data(), 1, s.size(), out) != s.size()) return false;
    }
  return true;
}

}  // namespace report
