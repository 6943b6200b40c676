// ordavi-report's comparison with a baseline, its per-second series and its
// Prometheus metrics, on logs of real runs on a plain and a throttled disk.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using nlohmann::json;
const char* const kReport = ORDAVI_REPORT_BINARY;
const char* const kRun = "-w 128 -n 24 -f 24 -q 4 -u 0 --noinfo -x ";

json Report(const std::string& args, int status) {
  RunResult r = RunProgram(kReport, Words(args));
  EXPECT_EQ(r.status, status) << args << "\n" << r.err;
  return json::parse(r.out, nullptr, false);
}

// Samples of a metrics file: "name{label=value,...}" keyed by name and the
// labels that tell samples of one family apart.
std::map<std::string, double> ParseMetrics(const std::string& text,
                                           std::map<std::string, std::string>* common) {
  std::map<std::string, double> out;
  std::regex sample(R"(^(\w+)\{(.*)\} (\S+)$)"), label(R"((\w+)="([^"]*)\")");
  for (const std::string& line : SplitLines(text)) {
    std::smatch m;
    if (line.empty() || line[0] == '#') continue;
    EXPECT_TRUE(std::regex_match(line, m, sample)) << line;
    std::string key = m[1], labels = m[2];
    for (std::sregex_iterator it(labels.begin(), labels.end(), label), end; it != end; ++it) {
      std::string name = (*it)[1], value = (*it)[2];
      if (name == "phase" || name == "percentile" || name == "judged_rate" || name == "judgement")
        key += " " + value;
      else
        (*common)[name] = value;
    }
    out[key] = std::stod(m[3]);
  }
  return out;
}

// A paced run on the plain disk is the baseline. The same run on a loop
// device throttled to 1 MiB/s (8 of 24 frames a second) is worse, status 3
// with --fail-on-regression; each compared with itself is the same. A run of
// other parameters is refused unless forced. The throttled run's series
// agrees with its log, and its metrics pass promtool and read back as the
// JSON's figures.
TEST(ReportCompare, BaselineSeriesAndMetricsOfRealRuns) {
  TempDir dir;
  LoopFs fs(64);
  SKIP_WITHOUT_LOOP(fs);
  std::string plain = dir / "plain.csv", slow = dir / "slow.csv", other = dir / "other.csv";
  ASSERT_EQ(RunOrdavi(Words(kRun + plain + " " + dir.path())).status, 0);
  ASSERT_EQ(RunOrdavi(Words("-w 64 -n 10 -u 0 --noinfo -x " + other + " " + dir.path())).status, 0);
  RunResult t = InCgroup("blkio", fs.Throttle(1 << 20), kRun + slow + " " + fs.frames());
  if (t.status == 77) GTEST_SKIP() << "no blkio cgroup here";
  ASSERT_EQ(t.status, 0) << t.err;
  std::string base = dir / "base.json", prom = dir / "m.prom";
  Report("--json " + base + " " + plain, 0);

  for (const std::string& log : {plain, slow}) {
    Report("--json " + dir / "self.json" + " " + log, 0);
    json self = Report("--fail-on-regression --baseline " + dir / "self.json --json - " + log, 0);
    EXPECT_EQ(self["comparison"]["same"].get<size_t>(), self["comparison"]["figures"].size());
    EXPECT_EQ(self["comparison"]["figures"].size(), 34u);  // 3, 4 phases x 3, stall, 9 rates x 2
  }
  json doc = Report("--fail-on-regression --baseline " + base + " --json - --metrics " + prom +
                        " --series " + dir / "s.jsonl " + slow,
                    3);
  std::map<std::string, std::string> judged;
  for (const json& f : doc["comparison"]["figures"]) judged[f["figure"]] = f["judgement"];
  EXPECT_EQ(std::tuple(judged["fps"], judged["MiB/s"], judged["sustained at 24 fps"],
                       judged["dropped frames"], judged["io p50 ms"],
                       doc["comparison"]["differences"][0]["field"]),
            std::tuple("worse", "worse", "worse", "worse", "worse", "target"))
      << doc["comparison"].dump(1);
  Report("--baseline " + base + " --json " + dir / "gate-off.json " + slow, 0);

  // Refused, naming the fields; compared and marked with --force.
  RunResult refused = RunProgram(kReport, Words("--baseline " + base + " " + other));
  EXPECT_EQ(std::tuple(refused.status, refused.out), std::tuple(1, ""));
  EXPECT_TRUE(Contains(refused.err, "frame size (131072 in the baseline, 65536 now)") &&
              Contains(refused.err, "frame rate (24 in the baseline, none now)"))
      << refused.err;
  json forced = Report("--force --baseline " + base + " --json - " + other, 0);
  EXPECT_EQ(std::tuple(forced["comparison"]["forced"], forced["comparison"]["mismatches"].size()),
            std::tuple(true, 4u));  // frame size, rate, queue, pre-buffer

  // The series, second by second, against the log's own rows.
  std::map<int64_t, std::pair<int64_t, double>> perSecond;  // frames, longest file time
  for (const std::string& row : LogRows(slow)) {
    std::vector<std::string> f = Fields(row);
    double start = std::stod(f.at(1)), close = std::stod(f.at(4));
    auto& [frames, longest] = perSecond[int64_t(close / 1000)];
    frames++;
    longest = std::max(longest, close - start);
  }
  int64_t placed = 0, seconds = 0;
  for (const std::string& line : SplitLines(ReadFile(dir / "s.jsonl"))) {
    if (line.empty()) continue;
    json s = json::parse(line);
    auto [frames, longest] = perSecond[s["second"].get<int64_t>()];
    EXPECT_EQ(std::tuple(s["log"], s["second"], s["frames"]), std::tuple(slow, seconds++, frames));
    if (frames > 0) {
      EXPECT_NEAR(s["max_ms"].get<double>(), longest, 0.0005) << line;
      EXPECT_LE(s["queue_max"].get<int>(), 4) << line;
    }
    placed += s["dropped_frames"].get<int64_t>();
  }
  EXPECT_GE(seconds, int64_t(perSecond.rbegin()->first + 1));
  const json& log = doc["logs"][0];
  EXPECT_EQ(placed, log["drops"]["located_frames"].get<int64_t>());
  EXPECT_GT(placed, 0);

  // The metrics: promtool finds nothing to say; every figure reads back.
  if (Sh("command -v promtool") == 0) {
    RunResult lint = Shell("promtool check metrics < " + prom);
    EXPECT_EQ(std::tuple(lint.status, lint.out + lint.err), std::tuple(0, "")) << lint.err;
  } else {
    std::cout << "SKIPPED: promtool is not installed; the metrics file is not linted\n";
  }
  std::map<std::string, std::string> labels;
  std::map<std::string, double> m = ParseMetrics(ReadFile(prom), &labels);
  const json& job = doc["job"];
  const json& v24 = job["verdict"][1];
  ASSERT_EQ(v24["rate_fps"], 24);
  EXPECT_EQ(std::tuple(m["ordavi_frames_per_second"], m["ordavi_dropped_frames"],
                       m["ordavi_rate_sustained 24"], m["ordavi_rate_headroom_ratio 24"],
                       m["ordavi_run_end_time_seconds"], m["ordavi_comparison_figures worse"]),
            std::tuple(job["measured_fps"], job["dropped_frames"], 0.0, v24["headroom_ratio"],
                       log["end_time_epoch_s"], doc["comparison"]["worse"]));
  EXPECT_NEAR(m["ordavi_frame_phase_seconds io 99"] * 1000, job["phases"]["io"]["p99_ms"], 1e-9);
  EXPECT_NEAR(m["ordavi_longest_stall_seconds"] * 1000, job["longest_stall"]["gap_ms"], 1e-9);
  EXPECT_EQ(m["ordavi_throughput_bytes_per_second"],
            job["bandwidth_mib_per_s"].get<double>() * 1048576);
  EXPECT_EQ(labels, (std::map<std::string, std::string>{{"host", log["hostname"]},
                                                        {"target", fs.frames()},
                                                        {"direction", "write"},
                                                        {"frame_size", "131072"},
                                                        {"engine", "sync"},
                                                        {"rate", "24"},
                                                        {"streams", "1"}}));
  for (const std::string& name : ListDir(dir.path()))
    EXPECT_FALSE(Contains(name, ".tmp")) << name;  // the metrics' temporary file is gone
}

// A baseline that is not a usable document of this schema: status 1, a
// message naming the file and the fault, and no output written.
TEST(ReportCompare, DamagedBaselines) {
  TempDir dir;
  std::string log = dir / "run.csv", good = dir / "good.json";
  ASSERT_EQ(RunOrdavi(Words("-w 4 -n 5 -u 0 --noinfo -x " + log + " " + dir.path())).status, 0);
  ASSERT_EQ(RunProgram(kReport, {"--json", good, log}).status, 0);
  std::string text = ReadFile(good);
  json doc = json::parse(text), noVerdict = doc, badNumber = doc, schema1 = doc;
  noVerdict["job"].erase("verdict");
  badNumber["job"]["phases"]["file"]["p99_ms"] = "slow";
  schema1["schema_version"] = 1;
  const std::pair<std::string, const char*> cases[] = {
      {"", "not a JSON document \\(parse error"},
      {text.substr(0, text.size() / 2), "not a JSON document \\(parse error at line"},
      {"[1, 2]", "not a JSON document of ordavi-report"},
      {R"({"generator": "fio", "schema_version": 2})", "not a JSON document of ordavi-report"},
      {schema1.dump(), "schema version 1, but this ordavi-report reads 2"},
      {noVerdict.dump(), "damaged: job.verdict is missing"},
      {badNumber.dump(), "damaged: job.phases.file.p99_ms is not a number"},
      {"/dev/zero", "larger than 64 MiB"},
      {dir / "missing.json", "cannot open: No such file"},
  };
  for (const auto& [content, message] : cases) {
    std::string bad = content[0] == '/' ? content : dir / "bad.json";
    if (content[0] != '/') std::ofstream(bad) << content;
    RunResult r = RunProgram(
        kReport, Words("--baseline " + bad + " --json " + dir / "out.json" + " --metrics " +
                       dir / "m.prom --series " + dir / "s.jsonl " + log));
    SCOPED_TRACE(message);
    EXPECT_EQ(std::tuple(r.status, r.out), std::tuple(1, "")) << r.err;
    EXPECT_TRUE(
        std::regex_search(r.err, std::regex("^ordavi-report: baseline " + bad + ": " + message)))
        << r.err;
    EXPECT_FALSE(FileExists(dir / "out.json") || FileExists(dir / "m.prom") ||
                 FileExists(dir / "s.jsonl"));
  }
}

}  // namespace
