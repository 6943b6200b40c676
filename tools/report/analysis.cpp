#include "analysis.h"

#include <algorithm>
#include <cmath>

namespace report {
namespace {

constexpr int64_t kDefaultPreBuffer = 5;

int64_t PhaseValue(const TimingLog& log, uint32_t r, int phase) {
  switch (phase) {
    case kFile:
      return log.close[r] - log.start[r];
    case kOpen:
      return log.open[r] - log.start[r];
    case kIo:
      return log.io[r] - log.open[r];
    default:
      return log.close[r] - log.io[r];
  }
}

// The period the pacing thread sleeps: whole nanoseconds, truncated.
int64_t PeriodNs(double rate) { return int64_t(1e9 / rate); }

Stall LongestStall(std::vector<int64_t> completionsUs, const std::vector<uint32_t>& rowOf) {
  Stall s;
  if (completionsUs.size() < 2) return s;
  // Sort completion times with their rows: engines with several frames in
  // flight can finish them out of record order.
  std::vector<std::pair<int64_t, uint32_t>> c(completionsUs.size());
  for (size_t i = 0; i < c.size(); i++) c[i] = {completionsUs[i], rowOf[i]};
  bool sorted = std::is_sorted(c.begin(), c.end());
  if (!sorted) std::sort(c.begin(), c.end());
  int64_t best = -1;
  for (size_t i = 1; i < c.size(); i++) {
    int64_t gap = c[i].first - c[i - 1].first;
    if (gap > best) {
      best = gap;
      s.gapMs = double(gap) / 1000;
      s.afterMs = double(c[i - 1].first) / 1000;
      s.frame = c[i].second;
    }
  }
  return s;
}

}  // namespace

// The 1-based nearest rank: ceil(n * p), at least 1. In 64 bits n * 1e6
// stays far below the limit for any log.
int64_t RankOf(int64_t n, int64_t ppm) {
  return std::clamp<int64_t>((n * ppm + 999999) / 1000000, 1, n);
}

int64_t NearestRank(std::vector<int64_t>& v, int64_t ppm) {
  auto nth = v.begin() + (RankOf(int64_t(v.size()), ppm) - 1);
  std::nth_element(v.begin(), nth, v.end());
  return *nth;
}

PhaseStats ComputePhase(std::vector<int64_t> us) {
  PhaseStats s;
  s.count = int64_t(us.size());
  if (us.empty()) return s;
  // The sum in integers (microseconds): exact for any log the reader takes.
  __int128 sum = 0;
  int64_t mn = us[0], mx = us[0];
  for (int64_t v : us) {
    sum += v;
    mn = std::min(mn, v);
    mx = std::max(mx, v);
  }
  double n = double(s.count);
  double mean = double(sum) / n;
  // Population variance from the deviations of the mean: no cancellation,
  // and no product of sums to overflow on a crafted log.
  long double dev = 0;
  for (int64_t v : us) dev += (v - (long double)mean) * (v - (long double)mean);
  double var = double(dev / (long double)n);
  s.minMs = double(mn) / 1000;
  s.maxMs = double(mx) / 1000;
  s.meanMs = mean / 1000;
  s.stddevMs = std::sqrt(std::max(0.0, var)) / 1000;
  // Successive nth_element calls in increasing order: each one leaves the
  // larger values to its right, so the next search is on that part only.
  auto lo = us.begin();
  for (size_t i = 0; i < kPercentilesPpm.size(); i++) {
    auto nth = us.begin() + (RankOf(s.count, kPercentilesPpm[i]) - 1);
    if (nth >= lo) {
      std::nth_element(lo, nth, us.end());
      lo = nth;
    }
    s.pctMs[i] = double(*nth) / 1000;
  }
  return s;
}

std::vector<uint32_t> CountedRows(const TimingLog& log) {
  std::vector<uint32_t> rows;
  rows.reserve(log.rows());
  for (size_t i = 0; i < log.rows(); i++) {
    if (log.start[i] < 0) break;     // never started: the summary stops here
    if (log.close[i] < 0) continue;  // started, never finished
    rows.push_back(uint32_t(i));
  }
  return rows;
}

int HistogramColumn(int64_t fileTimeUs) {
  if (fileTimeUs <= 0) return 0;
  double x = (std::log10(double(fileTimeUs) / 1e6) + 4.0) * 16.0 + 0.5;
  int c = int(x);
  return std::clamp(c, 0, kHistColumns - 1);
}

double HistogramColumnCentreMs(int column) { return 0.1 * std::pow(10.0, column / 16.0); }

ModelConfig ConfigForRate(double rate, bool isWrite, int queueOpt, int preBufferOpt) {
  ModelConfig c;
  c.rateFps = rate;
  c.isWrite = isWrite;
  // ordavi takes whole frame rates and makes the queue as long as the rate;
  // a 23.976 fps target is run as -f 24.
  c.queueSize = queueOpt > 0 ? queueOpt : std::max(1, int(std::lround(rate)));
  if (isWrite) {
    c.preBuffer = 0;
  } else {
    int64_t b = preBufferOpt >= 0 ? preBufferOpt : kDefaultPreBuffer;
    c.preBuffer = int(std::min<int64_t>(b, c.queueSize - 1));
  }
  return c;
}

int64_t PredictDrops(const std::vector<int64_t>& svc, const ModelConfig& cfg) {
  const int64_t n = int64_t(svc.size());
  const int64_t period = PeriodNs(cfg.rateFps);
  const int64_t q = cfg.queueSize;
  if (n == 0 || period <= 0 || q <= 0) return 0;
  int64_t drops = 0;

  if (cfg.isWrite) {
    // Capture: every period the camera queues a frame, or drops it when the
    // queue holds q frames; the engine takes frames in order, each as soon
    // as it is queued and the engine is free, and is busy svc[k] with it.
    std::vector<int64_t> queuedAt(size_t(n), 0);
    int64_t queued = 0, taken = 0, engineFree = 0, tick = 0;
    while (queued < n) {
      tick += period;
      while (taken < queued) {
        int64_t w = std::max(engineFree, queuedAt[size_t(taken)]);
        if (w >= tick) break;
        engineFree = w + svc[size_t(taken)];
        taken++;
      }
      if (queued - taken < q) {
        queuedAt[size_t(queued++)] = tick;
      } else {
        // Full until the engine takes the next frame: every period up to
        // then is lost too.
        int64_t w = std::max(engineFree, queuedAt[size_t(taken)]);
        int64_t more = w > tick ? (w - tick) / period : 0;
        drops += 1 + more;
        tick += more * period;
      }
    }
    return drops;
  }

  // Playback: the engine reads frames back to back, svc[k] each, and hands
  // each to the queue, waiting while the queue holds q frames. The display
  // starts once a frame finds preBuffer frames already waiting, takes one
  // frame a period from one period later, and drops a period that finds the
  // queue empty. After the last frame it only drains the queue.
  int64_t b = std::clamp<int64_t>(cfg.preBuffer, 0, q - 1);
  int64_t engine = 0, released = 0, consumed = 0, nextTick = 0;
  bool playing = false;
  for (int64_t k = 0; k < n; k++) {
    int64_t ready = engine + svc[size_t(k)];
    if (playing) {
      while (nextTick < ready && released > consumed) {
        consumed++;
        nextTick += period;
      }
      if (nextTick < ready) {
        int64_t empty = (ready - nextTick + period - 1) / period;
        drops += empty;
        nextTick += empty * period;
      }
    }
    int64_t release = ready;
    if (playing && released - consumed >= q) {
      consumed++;  // the next period frees a place
      release = nextTick;
      nextTick += period;
    }
    int64_t waiting = released - consumed;
    released++;
    if (!playing && waiting >= b) {
      playing = true;
      nextTick = release + period;
    }
    engine = release;
  }
  return drops;
}

LogAnalysis Analyse(const TimingLog& log, const Options& opt) {
  LogAnalysis a;
  a.counted = CountedRows(log);
  const auto& rows = a.counted;
  std::vector<int64_t> v(rows.size());
  for (int p = 0; p < kPhases; p++) {
    for (size_t i = 0; i < rows.size(); i++) v[i] = PhaseValue(log, rows[i], p);
    if (p == kFile)
      for (int64_t d : v) a.histogram[size_t(HistogramColumn(d))]++;
    a.phases[size_t(p)] = ComputePhase(v);
  }

  // Over time.
  std::vector<int64_t> completions(rows.size());
  int64_t last = 0;
  for (size_t i = 0; i < rows.size(); i++) {
    int64_t c = log.close[rows[i]];
    completions[i] = c;
    last = std::max(last, c);
    size_t sec = size_t(c / 1000000);
    if (sec >= a.fpsPerSecond.size()) a.fpsPerSecond.resize(sec + 1, 0);
    a.fpsPerSecond[sec]++;
  }
  a.durationMs = double(last) / 1000;
  a.stall = LongestStall(std::move(completions), rows);

  // The engine's busy time per frame, for the model. Unpaced, frames follow
  // one another: the time between completions. Paced, the engine also
  // waited for the queue; that wait (before a frame's start) is not storage
  // time and is left out.
  a.serviceNs.resize(rows.size());
  int64_t prev = 0, busy = 0;
  for (size_t i = 0; i < rows.size(); i++) {
    uint32_t r = rows[i];
    int64_t from = log.paced ? std::max(prev, log.start[r]) : prev;
    int64_t s = std::max<int64_t>(0, log.close[r] - from);
    a.serviceNs[i] = s * 1000;
    busy += s;
    prev = std::max(prev, log.close[r]);
  }
  a.capacityFps = busy > 0 ? double(rows.size()) * 1e6 / double(busy) : 0;

  if (log.paced && log.params.frameRate > 0) {
    // Drops are not in the log row by row: a dropped period shows as a gap
    // of two or more periods between two frames' pacing times. A pacing
    // thread that wakes late makes such gaps too, so the run's own count
    // decides how many drops there were, and they are placed where the gaps
    // exceed whole periods the most.
    double periodUs = double(PeriodNs(log.params.frameRate)) / 1000;
    a.jitter.periodMs = periodUs / 1000;
    struct Gap {
      size_t row;
      int64_t prevFt, len, drops;
    };
    std::vector<Gap> gaps;
    int64_t prevFt = -1;
    for (size_t i = 0; i < log.rows(); i++) {
      int64_t ft = log.frameTime[i];
      if (ft < 0) continue;  // never released or consumed
      if (prevFt >= 0) gaps.push_back({i, prevFt, ft - prevFt, 0});
      prevFt = ft;
    }
    // The gap whose length beyond its periods is largest takes the next
    // drop (the earlier gap on a tie); a gap that took one is weighed again
    // with one period more. A gap cannot hold more drops than its whole
    // periods (one of slack for a late wake-up); a count beyond that is left
    // unplaced. A gap that stays first for many drops (a long stall) takes
    // them in one step, found by search, rather than one step a period.
    auto excess = [&](size_t g, int64_t more) {
      return double(gaps[g].len) - double(gaps[g].drops + more + 1) * periodUs;
    };
    auto lower = [&](size_t x, size_t y) {
      double ex = excess(x, 0), ey = excess(y, 0);
      return ex < ey || (ex == ey && x > y);
    };
    std::vector<size_t> heap(gaps.size());
    for (size_t g = 0; g < gaps.size(); g++) heap[g] = g;
    std::make_heap(heap.begin(), heap.end(), lower);
    int64_t left = log.droppedFrames;
    while (left > 0 && !heap.empty() && excess(heap.front(), 0) >= -periodUs) {
      std::pop_heap(heap.begin(), heap.end(), lower);
      size_t g = heap.back();
      heap.pop_back();
      // Whether g, holding `more` drops beyond its own, still takes the next.
      auto first = [&](int64_t more) {
        double e = excess(g, more);
        if (e < -periodUs) return false;
        if (heap.empty()) return true;
        double eh = excess(heap.front(), 0);
        return e > eh || (e == eh && g < heap.front());
      };
      int64_t take = 1, miss = 2;  // first(take - 1) holds
      while (miss <= left && first(miss - 1)) {
        take = miss;
        miss = miss > left / 2 ? left + 1 : miss * 2;
      }
      miss = std::min(miss, left + 1);
      while (miss - take > 1) {
        int64_t mid = take + (miss - take) / 2;
        (first(mid - 1) ? take : miss) = mid;
      }
      gaps[g].drops += take;
      a.dropsLocated += take;
      left -= take;
      heap.push_back(g);
      std::push_heap(heap.begin(), heap.end(), lower);
    }
    double sum = 0, sumSq = 0;
    for (const Gap& g : gaps) {
      if (g.drops > 0) {
        a.drops.push_back({int64_t(g.row), double(g.prevFt) / 1000 + a.jitter.periodMs, g.drops});
        a.longestDropRun = std::max(a.longestDropRun, g.drops);
      }
      double slots = double(g.drops + 1);
      double per = double(g.len) / slots / 1000;
      sum += per;
      sumSq += per * per;
      a.jitter.intervals++;
      a.jitter.worstLatenessMs =
          std::max(a.jitter.worstLatenessMs, (double(g.len) - slots * periodUs) / 1000);
    }
    if (a.jitter.intervals > 0) {
      double n = double(a.jitter.intervals);
      a.jitter.intervalMeanMs = sum / n;
      a.jitter.intervalStddevMs = std::sqrt(std::max(0.0, sumSq / n - (sum / n) * (sum / n)));
    }
  }

  for (double rate : opt.rates) {
    Verdict vd;
    vd.rateFps = rate;
    ModelConfig cfg = ConfigForRate(rate, log.params.isWrite, opt.queueSize, opt.preBuffer);
    vd.measured = log.paced && std::fabs(rate - log.params.frameRate) < 1e-9;
    if (vd.measured) {
      vd.queueSize = log.params.queueSize;
      vd.preBuffer = log.params.isWrite ? 0 : log.params.preBuffer;
      vd.dropped = log.droppedFrames;
    } else {
      vd.queueSize = cfg.queueSize;
      vd.preBuffer = cfg.preBuffer;
      vd.dropped = PredictDrops(a.serviceNs, cfg);
    }
    vd.sustained = vd.dropped == 0 && !rows.empty();
    vd.headroom = a.capacityFps / rate;
    a.verdicts.push_back(vd);
  }
  return a;
}

JobAnalysis AnalyseJob(const std::vector<TimingLog>& logs, const std::vector<LogAnalysis>& each) {
  JobAnalysis j;
  std::vector<int64_t> v;
  for (int p = 0; p < kPhases; p++) {
    v.clear();
    for (size_t l = 0; l < logs.size(); l++)
      for (uint32_t r : each[l].counted) v.push_back(PhaseValue(logs[l], r, p));
    j.phases[size_t(p)] = ComputePhase(v);
  }
  for (size_t l = 0; l < logs.size(); l++) {
    const LogAnalysis& a = each[l];
    j.frames += int64_t(a.counted.size());
    j.droppedFrames += logs[l].droppedFrames;
    for (int c = 0; c < kHistColumns; c++) j.histogram[size_t(c)] += a.histogram[size_t(c)];
    if (a.fpsPerSecond.size() > j.fpsPerSecond.size()) j.fpsPerSecond.resize(a.fpsPerSecond.size());
    for (size_t s = 0; s < a.fpsPerSecond.size(); s++) j.fpsPerSecond[s] += a.fpsPerSecond[s];
    if (a.stall.gapMs > j.stall.gapMs) j.stall = a.stall;
  }
  if (each.empty()) return j;
  for (size_t i = 0; i < each[0].verdicts.size(); i++) {
    Verdict vd = each[0].verdicts[i];
    for (size_t l = 1; l < each.size(); l++) {
      const Verdict& o = each[l].verdicts[i];
      vd.measured = vd.measured && o.measured;
      vd.dropped += o.dropped;
      vd.sustained = vd.sustained && o.sustained;
      vd.headroom = std::min(vd.headroom, o.headroom);
    }
    j.verdicts.push_back(vd);
  }
  return j;
}

}  // namespace report
