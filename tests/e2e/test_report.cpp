// ordavi-report on the timing logs of real ordavi runs: its JSON against the
// log's own min/avg/max table and drop count, its verdict against paced runs
// of the same storage, its errors, and its page in a real browser.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using nlohmann::json;

// "-w 4 -n 10" as separate arguments.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string w; in >> w;) v.push_back(w);
  return v;
}

RunResult Report(const std::vector<std::string>& args) {
  return RunProgram(ORDAVI_REPORT_BINARY, args);
}

// Runs ordavi with a timing log and returns the log's path.
std::string OrdaviLog(const TempDir& dir, const std::string& name, const std::string& options,
                      const std::string& target) {
  std::vector<std::string> args = Words(options + " -u 0 --noinfo -x");
  args.insert(args.end(), {dir / name, target});
  RunResult r = RunOrdavi(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return dir / name;
}

json ReportJson(std::vector<std::string> args) {
  args.insert(args.begin(), {"--json", "-"});
  RunResult r = Report(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return json::parse(r.out);  // throws unless stdout is one JSON document alone
}

// Every log in the document agrees with its file's own summary table, read
// here independently of the program's reader.
void ExpectMatchesLog(const json& log, const std::string& path) {
  SCOPED_TRACE(path);
  std::map<std::string, std::vector<double>> table;  // "min", "avg", "max": file, open, io, close
  int64_t dropped = -1, rows = int64_t(LogRows(path).size());
  for (const std::string& line : SplitLines(ReadFile(path))) {
    std::vector<std::string> f = Words(std::regex_replace(line, std::regex(","), " "));
    if (!f.empty() && f[0] == "DroppedFrames") dropped = std::stoll(f.at(1));
    if (!f.empty() && (f[0] == "min" || f[0] == "avg" || f[0] == "max"))
      for (size_t i = 1; i < f.size(); i++) table[f[0]].push_back(std::stod(f[i]));
  }
  EXPECT_EQ(std::tuple(log["dropped_frames"].get<int64_t>(), log["rows"].get<int64_t>(),
                       log["frames_counted"].get<int64_t>()),
            std::tuple(dropped, rows, rows));
  const char* phases[] = {"file", "open", "io", "close"};
  for (size_t i = 0; i < 4; i++) {
    const json& p = log["phases"][phases[i]];
    EXPECT_EQ(p["count"].get<int64_t>(), rows) << phases[i];
    // Stamps are whole microseconds: the extremes match to the printed
    // digit, the mean to its rounding; the percentiles lie in between.
    EXPECT_NEAR(p["min_ms"].get<double>(), table["min"].at(i), 0.0005) << phases[i];
    EXPECT_NEAR(p["max_ms"].get<double>(), table["max"].at(i), 0.0005) << phases[i];
    EXPECT_NEAR(p["mean_ms"].get<double>(), table["avg"].at(i), 0.0011) << phases[i];
    std::vector<double> order;
    for (auto k : {"min_ms", "p50_ms", "p90_ms", "p99_ms", "p99_9_ms", "p99_99_ms", "max_ms"})
      order.push_back(p[k]);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << p;
  }
  auto sum = [](const json& counts) {
    int64_t n = 0;
    for (int64_t c : counts) n += c;
    return n;
  };
  EXPECT_EQ(std::pair(sum(log["fps_per_second"]), sum(log["histogram"]["counts"])),
            std::pair(rows, rows));
}

const json& VerdictAt(const json& verdicts, double rate) {
  for (const json& v : verdicts)
    if (v["rate_fps"].get<double>() == rate) return v;
  static const json none;
  ADD_FAILURE() << "no verdict at " << rate;
  return none;
}

// Tiny frames at 24 fps clearly sustain; 2 MB frames in 512 direct 4 KB
// transfers (25-80 ms each here) clearly cannot at 100 fps. The prediction
// from an unpaced run must agree with the paced run of the same storage.
TEST(Report, VerdictAgreesWithPacedRunsOfTheSameStorage) {
  TempDir dir;
  mkdir((dir / "fast").c_str(), 0700);
  mkdir((dir / "slow").c_str(), 0700);
  const std::tuple<const char*, const char*, double> cases[] = {{"-w 4", "fast", 24},
                                                                {"-r", "fast", 24},
                                                                {"-w 2048 -i 512", "slow", 100},
                                                                {"-r -i 512", "slow", 100}};
  std::vector<std::string> all = Words("--rates 24,100 --queue 5");
  for (auto [options, target, rate] : cases) {
    SCOPED_TRACE(options);
    bool fast = rate == 24;  // the paced run's queue for the prediction: -q 5 in the slow runs
    std::string n = fast ? " -n 100" : " -n 30", queue = fast ? "" : " -q 5",
                r = std::to_string(int(rate));
    std::string unpaced =
        OrdaviLog(dir, std::to_string(all.size()) + "u.csv", options + n, dir / target);
    std::string paced = OrdaviLog(dir, std::to_string(all.size()) + "p.csv",
                                  options + std::string(" -n 30 -f ") + r + queue, dir / target);
    std::vector<std::string> args = Words("--rates " + r + (fast ? "" : " --queue 5"));
    args.insert(args.end(), {unpaced, paced});
    json doc = ReportJson(args);
    ExpectMatchesLog(doc["logs"][0], unpaced);
    ExpectMatchesLog(doc["logs"][1], paced);
    const json& predicted = VerdictAt(doc["logs"][0]["verdict"], rate);
    const json& measured = VerdictAt(doc["logs"][1]["verdict"], rate);
    EXPECT_EQ(std::tuple(predicted["basis"], predicted["sustained"], measured["basis"],
                         measured["sustained"], doc["logs"][1]["paced"]),
              std::tuple("predicted", fast, "measured", fast, true));
    EXPECT_EQ(doc["logs"][1]["drops"]["dropped_frames"], measured["dropped_frames"]);
    all.push_back(unpaced);
  }

  // The four unpaced logs as one job: every stream must sustain the rate,
  // and the job's figures are the logs' together.
  json doc = ReportJson(all);
  const json& job = doc["job"];
  int64_t frames = 0, dropped100 = 0;
  for (const json& l : doc["logs"]) {
    frames += l["frames_counted"].get<int64_t>();
    dropped100 += VerdictAt(l["verdict"], 100)["dropped_frames"].get<int64_t>();
  }
  EXPECT_EQ(std::tuple(doc["schema_version"], job["logs"], job["frames_counted"],
                       job["phases"]["file"]["count"], VerdictAt(job["verdict"], 100)["sustained"],
                       VerdictAt(job["verdict"], 100)["dropped_frames"]),
            std::tuple(1, 4, frames, frames, false, dropped100));
}

TEST(Report, TextReportAndErrors) {
  TempDir dir;
  std::string log = OrdaviLog(dir, "w.csv", "-w 4 -n 20", dir.path());
  std::string text = ReadFile(log);
  std::string cut = dir / "cut.csv", foreign = dir / "foreign.csv";
  std::ofstream(cut) << text.substr(0, text.size() - 3);
  std::ofstream(foreign) << "a,b,c\n1,2,3\n";

  struct Case {
    std::vector<std::string> args;
    int status;
    const char *out, *err;  // regexes searched in stdout, stderr ("" = stderr empty)
  };
  const Case cases[] = {
      {{log}, 0, "rate fps +basis[^\\n]*\\n +23\\.976 +predicted .* yes", ""},
      {{"--help"}, 0, "^Usage: ordavi-report", ""},
      {{cut}, 0, "19 frames counted", "cut\\.csv:37: warning: .*cut short"},
      {{foreign}, 1, "^$", "foreign\\.csv:1: not an ordavi timing log"},
      {{dir / "missing.csv"}, 1, "^$", "missing\\.csv: cannot open"},
      {{"--rates", "24,abc", log}, 1, "^$", "--rates needs"},
      {{"--queue", "0", log}, 1, "^$", "--queue needs a whole number from 1 to 10000"},
      {{"--bogus", log}, 1, "^$", "unknown option '--bogus'"},
      {{}, 1, "^$", "no timing log given"},
      {{"--json", dir / "no/such/dir.json", log}, 1, "^$", "cannot create JSON file"},
      {{"--html", "/dev/full", log}, 1, "^$", "cannot write HTML file /dev/full: No space left"},
  };
  for (const Case& c : cases) {
    RunResult r = Report(c.args);
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(c.out))) << r.out;
    EXPECT_TRUE(*c.err ? std::regex_search(r.err, std::regex(c.err)) : r.err.empty()) << r.err;
  }
}

// The page in headless Chromium: no script error, every chart painted, and a
// screenshot that holds more than an empty page.
TEST(Report, PageOpensInChromiumWithItsChartsDrawn) {
  const char* chromium = "/usr/bin/chromium";
  if (access(chromium, X_OK) != 0)
    GTEST_SKIP() << "SKIPPED: " << chromium << " is not installed; the report page is untested";
  TempDir dir;
  std::string target = dir / "frames", page = dir / "report.html", png = dir / "shot.png";
  mkdir(target.c_str(), 0700);
  std::string a = OrdaviLog(dir, "a.csv", "-w 16 -n 200", target);
  std::string b = OrdaviLog(dir, "b.csv", "-r -n 40 -f 50", target);
  RunResult r = Report({"--html", page, a, b});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(page).find("http://"), std::string::npos);  // nothing fetched: offline

  auto browse = [&](const std::string& what) {
    std::vector<std::string> args = Words(
        "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--virtual-time-budget=20000 --window-size=1200,3000");
    args.insert(args.end(), {"--user-data-dir=" + dir / "profile", what, "file://" + page});
    RunResult run = RunProgram(chromium, args);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  };
  std::smatch m;
  std::string dom = browse("--dump-dom");
  ASSERT_TRUE(std::regex_search(dom, m, std::regex("<body[^>]*>"))) << dom.substr(0, 500);
  // A file-time chart per log, frames per second, the histogram; no error.
  std::string body = m.str();
  EXPECT_NE(body.find("data-status=\"ok\""), std::string::npos) << body;
  EXPECT_NE(body.find("data-charts=\"4\""), std::string::npos) << body;
  EXPECT_EQ(body.find("data-errors"), std::string::npos) << body;
  browse("--screenshot=" + png);
  EXPECT_GT(FileSizeOf(png), 60000);  // an empty white page of this size is a few KB
}

}  // namespace
