// The text report: run facts, verdict table and percentiles for a terminal.
#include "escape.h"
#include "output.h"

namespace report {
namespace {

std::string RateText(double r) {
  char buf[32];
  snprintf(buf, sizeof buf, "%g", r);
  return buf;
}

void PhaseTable(FILE* out, const std::array<PhaseStats, kPhases>& phases) {
  fprintf(out, "  %-6s %9s %9s %9s %9s %9s %9s %9s %9s %9s %9s\n", "ms", "count", "min", "mean",
          "stddev", "p50", "p90", "p99", "p99.9", "p99.99", "max");
  for (int i = 0; i < kPhases; i++) {
    const PhaseStats& s = phases[size_t(i)];
    fprintf(out, "  %-6s %9lld %9.3f %9.3f %9.3f", kPhaseNames[size_t(i)], (long long)s.count,
            s.minMs, s.meanMs, s.stddevMs);
    for (double v : s.pctMs) fprintf(out, " %9.3f", v);
    fprintf(out, " %9.3f\n", s.maxMs);
  }
}

void VerdictTable(FILE* out, const std::vector<Verdict>& vs) {
  fprintf(out, "  %8s  %-9s  %5s  %6s  %8s  %-9s  %8s\n", "rate fps", "basis", "queue", "prebuf",
          "dropped", "sustained", "headroom");
  for (const Verdict& v : vs)
    fprintf(out, "  %8s  %-9s  %5d  %6d  %8lld  %-9s  %7.2fx\n", RateText(v.rateFps).c_str(),
            v.measured ? "measured" : "predicted", v.queueSize, v.preBuffer, (long long)v.dropped,
            v.sustained ? "yes" : "NO", v.headroom);
}

}  // namespace

void WriteText(FILE* out, const Report& r) {
  for (size_t i = 0; i < r.logs.size(); i++) {
    const TimingLog& log = r.logs[i];
    const LogAnalysis& a = r.analyses[i];
    const RunParams& p = log.params;
    // Everything taken from the log is shown escaped: a host name or a path
    // may hold terminal control sequences.
    fprintf(out, "%s\n", ForTerminal(log.fileName).c_str());
    fprintf(out, "  %s test, %lld-byte frames, %lld frames, %s engine",
            p.isWrite ? "write" : "read", (long long)p.frameSizeBytes, (long long)p.frames,
            ForTerminal(p.engine).c_str());
    if (p.ops > 0) fprintf(out, " (%d)", p.ops);
    if (log.paced) {
      fprintf(out, ", paced at %d fps (queue %d", p.frameRate, p.queueSize);
      if (!p.isWrite) fprintf(out, ", pre-buffer %d", p.preBuffer);
      fprintf(out, ")");
    } else {
      fprintf(out, ", unpaced");
    }
    fprintf(out, "\n  %s %s, ordavi %s on %s (%s)\n  test path %s\n", ForTerminal(log.date).c_str(),
            ForTerminal(log.time).c_str(), ForTerminal(log.version).c_str(),
            ForTerminal(log.hostname).c_str(), ForTerminal(log.os).c_str(),
            ForTerminal(log.testPath).c_str());
    fprintf(out, "  %zu frames counted in %.3f s: %.2f fps, %.2f MiB/s, %lld dropped frames\n",
            a.counted.size(), a.durationMs / 1000, log.frameRateFps, log.bandwidthMiBps,
            (long long)log.droppedFrames);
    if (a.stall.frame >= 0)
      fprintf(out, "  longest stall %.3f ms at %.3f s (before frame %lld)\n", a.stall.gapMs,
              a.stall.afterMs / 1000, (long long)a.stall.frame);
    if (log.paced) {
      fprintf(
          out,
          "  %lld drops located in %zu places, the longest run %lld; pacing interval %.3f ms +- "
          "%.3f ms (period %.3f ms), "
          "worst lateness %.3f ms\n",
          (long long)a.dropsLocated, a.drops.size(), (long long)a.longestDropRun,
          a.jitter.intervalMeanMs, a.jitter.intervalStddevMs, a.jitter.periodMs,
          a.jitter.worstLatenessMs);
    }
    fprintf(out, "\n");
    VerdictTable(out, a.verdicts);
    fprintf(out, "\n");
    PhaseTable(out, a.phases);
    fprintf(out, "\n");
  }
  if (r.logs.size() > 1) {
    const JobAnalysis& j = r.job;
    fprintf(out, "Job of %zu logs side by side: %lld frames counted, %lld dropped frames\n",
            r.logs.size(), (long long)j.frames, (long long)j.droppedFrames);
    fprintf(out,
            "  every stream must sustain the rate; headroom is the smallest of any stream\n\n");
    VerdictTable(out, j.verdicts);
    fprintf(out, "\n");
    PhaseTable(out, j.phases);
    fprintf(out, "\n");
  }
}

}  // namespace report
