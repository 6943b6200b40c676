// ordavi-report on the timing logs of real ordavi runs: its JSON against the
// log's own min/avg/max table and drop count, its verdict against paced runs
// of the same storage, its errors, and its page in a real browser.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using nlohmann::json;

RunResult Report(const std::vector<std::string>& args) {
  return RunProgram(ORDAVI_REPORT_BINARY, args);
}

// Runs ordavi with a timing log and returns the log's path.
std::string OrdaviLog(const TempDir& dir, const std::string& name, std::vector<std::string> args,
                      const std::string& target) {
  std::string log = dir / name;
  args.insert(args.end(), {"-u", "0", "--noinfo", "-x", log, target});
  RunResult r = RunOrdavi(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return log;
}

json ReportJson(const std::vector<std::string>& args) {
  std::vector<std::string> a = {"--json", "-"};
  a.insert(a.end(), args.begin(), args.end());
  RunResult r = Report(a);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return json::parse(r.out);  // throws unless stdout is one JSON document alone
}

// The log's own figures, read from its text independently of the reader.
struct LogFacts {
  int64_t dropped = -1, rows = 0;
  std::vector<double> min, avg, max;  // file, open, io, close
};

LogFacts FactsOf(const std::string& path) {
  LogFacts f;
  auto numbers = [](const std::string& line) {
    std::vector<double> v;
    std::stringstream ss(line.substr(4));
    std::string item;
    while (std::getline(ss, item, ',')) v.push_back(std::stod(item));
    return v;
  };
  for (const std::string& line : SplitLines(ReadFile(path))) {
    if (line.rfind("DroppedFrames,", 0) == 0) f.dropped = std::stoll(line.substr(14));
    if (line.rfind("min,", 0) == 0) f.min = numbers(line);
    if (line.rfind("avg,", 0) == 0) f.avg = numbers(line);
    if (line.rfind("max,", 0) == 0) f.max = numbers(line);
  }
  f.rows = int64_t(LogRows(path).size());
  return f;
}

// Every log in the document agrees with its file's own summary table.
void ExpectMatchesLog(const json& log, const std::string& path) {
  SCOPED_TRACE(path);
  LogFacts f = FactsOf(path);
  EXPECT_EQ(log["dropped_frames"].get<int64_t>(), f.dropped);
  EXPECT_EQ(log["rows"].get<int64_t>(), f.rows);
  EXPECT_EQ(log["frames_counted"].get<int64_t>(), f.rows);
  const char* phases[] = {"file", "open", "io", "close"};
  for (int i = 0; i < 4; i++) {
    const json& p = log["phases"][phases[i]];
    SCOPED_TRACE(phases[i]);
    EXPECT_EQ(p["count"].get<int64_t>(), f.rows);
    // Stamps and extremes are whole microseconds on this platform: the
    // extremes match to the printed digit, the mean to its rounding.
    EXPECT_NEAR(p["min_ms"].get<double>(), f.min[size_t(i)], 0.0005);
    EXPECT_NEAR(p["max_ms"].get<double>(), f.max[size_t(i)], 0.0005);
    EXPECT_NEAR(p["mean_ms"].get<double>(), f.avg[size_t(i)], 0.0011);
    double prev = p["min_ms"];
    for (const char* k : {"p50_ms", "p90_ms", "p99_ms", "p99_9_ms", "p99_99_ms", "max_ms"}) {
      EXPECT_GE(p[k].get<double>(), prev) << k;
      prev = p[k];
    }
  }
  int64_t perSecond = 0;
  for (int64_t n : log["fps_per_second"]) perSecond += n;
  EXPECT_EQ(perSecond, f.rows);
  int64_t histogram = 0;
  for (int64_t n : log["histogram"]["counts"]) histogram += n;
  EXPECT_EQ(histogram, f.rows);
}

const json& VerdictAt(const json& verdicts, double rate) {
  for (const json& v : verdicts)
    if (v["rate_fps"].get<double>() == rate) return v;
  static const json none;
  ADD_FAILURE() << "no verdict at " << rate;
  return none;
}

// Tiny frames at 24 fps clearly sustain; 2 MB frames moved in 512 direct
// 4 KB transfers (25-80 ms each on this machine) clearly cannot at 100 fps. The
// prediction from an unpaced run must agree with the paced run of the same
// storage, write and read, and both must agree with the log's own table.
TEST(Report, VerdictAgreesWithPacedRunsOfTheSameStorage) {
  TempDir dir;
  std::string fast = dir / "fast", slow = dir / "slow";
  mkdir(fast.c_str(), 0700);
  mkdir(slow.c_str(), 0700);
  struct Case {
    const char* name;
    std::vector<std::string> unpaced, paced;
    const char* target;
    double rate;
    std::vector<std::string> model;  // the paced run's queue for the prediction
    bool sustained;
  };
  const std::vector<std::string> slowFrames = {"-i", "512", "-n", "30"};
  auto cat = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"write-fast",
       {"-w", "4", "-n", "100"},
       {"-w", "4", "-n", "30", "-f", "24"},
       "fast",
       24,
       {},
       true},
      {"read-fast", {"-r", "-n", "100"}, {"-r", "-n", "30", "-f", "24"}, "fast", 24, {}, true},
      {"write-slow",
       cat({"-w", "2048"}, slowFrames),
       cat({"-w", "2048", "-f", "100", "-q", "5"}, slowFrames),
       "slow",
       100,
       {"--queue", "5"},
       false},
      {"read-slow",
       cat({"-r"}, slowFrames),
       cat({"-r", "-f", "100", "-q", "5"}, slowFrames),
       "slow",
       100,
       {"--queue", "5"},
       false},
  };
  std::vector<std::string> all;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string target = dir / c.target;
    std::string unpaced = OrdaviLog(dir, std::string(c.name) + "-unpaced.csv", c.unpaced, target);
    std::string paced = OrdaviLog(dir, std::string(c.name) + "-paced.csv", c.paced, target);
    char rate[16];
    snprintf(rate, sizeof rate, "%g", c.rate);
    std::vector<std::string> args = {"--rates", rate, unpaced, paced};
    args.insert(args.begin(), c.model.begin(), c.model.end());
    json doc = ReportJson(args);
    ExpectMatchesLog(doc["logs"][0], unpaced);
    ExpectMatchesLog(doc["logs"][1], paced);
    const json& predicted = VerdictAt(doc["logs"][0]["verdict"], c.rate);
    const json& measured = VerdictAt(doc["logs"][1]["verdict"], c.rate);
    EXPECT_EQ(predicted["basis"], "predicted");
    EXPECT_EQ(measured["basis"], "measured");
    EXPECT_EQ(measured["dropped_frames"].get<int64_t>(), FactsOf(paced).dropped);
    EXPECT_EQ(predicted["sustained"].get<bool>(), c.sustained);
    EXPECT_EQ(measured["sustained"].get<bool>(), c.sustained);
    EXPECT_EQ(doc["logs"][1]["paced"], true);
    EXPECT_EQ(doc["logs"][1]["drops"]["dropped_frames"], measured["dropped_frames"]);
    all.push_back(unpaced);
  }

  // The four unpaced logs as one job: every stream must sustain the rate,
  // and the job's figures are the logs' together.
  json doc = ReportJson({"--rates", "24,100", "--queue", "5", all[0], all[1], all[2], all[3]});
  const json& job = doc["job"];
  EXPECT_EQ(job["logs"], 4);
  int64_t frames = 0, dropped100 = 0;
  for (const json& l : doc["logs"]) {
    frames += l["frames_counted"].get<int64_t>();
    dropped100 += VerdictAt(l["verdict"], 100)["dropped_frames"].get<int64_t>();
  }
  EXPECT_EQ(job["frames_counted"].get<int64_t>(), frames);
  EXPECT_EQ(job["phases"]["file"]["count"].get<int64_t>(), frames);
  EXPECT_EQ(VerdictAt(job["verdict"], 100)["sustained"], false);
  EXPECT_EQ(VerdictAt(job["verdict"], 100)["dropped_frames"].get<int64_t>(), dropped100);
  EXPECT_EQ(doc["schema_version"], 1);
}

TEST(Report, TextReportAndErrors) {
  TempDir dir;
  std::string log = OrdaviLog(dir, "w.csv", {"-w", "4", "-n", "20"}, dir.path());
  std::string text = ReadFile(log);
  auto write = [&](const std::string& name, const std::string& content) {
    FILE* f = fopen((dir / name).c_str(), "w");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    return dir / name;
  };
  std::string cut = write("cut.csv", text.substr(0, text.size() - 3));
  std::string foreign = write("foreign.csv", "a,b,c\n1,2,3\n");

  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // regex searched in stdout
    const char* err;  // regex searched in stderr ("" = stderr empty)
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
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    RunResult r = Report(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(c.out))) << r.out;
    if (*c.err)
      EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err))) << r.err;
    else
      EXPECT_EQ(r.err, "");
  }
}

// The page in headless Chromium: no script error, every chart painted, and a
// screenshot that holds more than an empty page.
TEST(Report, PageOpensInChromiumWithItsChartsDrawn) {
  const char* chromium = "/usr/bin/chromium";
  if (access(chromium, X_OK) != 0)
    GTEST_SKIP() << "SKIPPED: " << chromium << " is not installed; the report page is untested";
  TempDir dir;
  std::string target = dir / "frames";
  mkdir(target.c_str(), 0700);
  std::string a = OrdaviLog(dir, "a.csv", {"-w", "16", "-n", "200"}, target);
  std::string b = OrdaviLog(dir, "b.csv", {"-r", "-n", "40", "-f", "50"}, target);
  std::string page = dir / "report.html";
  RunResult r = Report({"--html", page, a, b});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(page).find("http://"), std::string::npos);  // nothing fetched: offline

  std::vector<std::string> common = {"--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--user-data-dir=" + dir / "profile",
                                     "--virtual-time-budget=20000",
                                     "--window-size=1200,3000"};
  std::vector<std::string> dump = common;
  dump.insert(dump.end(), {"--dump-dom", "file://" + page});
  RunResult dom = RunProgram(chromium, dump);
  ASSERT_EQ(dom.status, 0) << dom.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(dom.out, m, std::regex("<body[^>]*>"))) << dom.out.substr(0, 500);
  std::string body = m.str();
  EXPECT_NE(body.find("data-status=\"ok\""), std::string::npos) << body;
  EXPECT_EQ(body.find("data-errors"), std::string::npos) << body;
  // A file-time chart per log, frames per second, the histogram.
  EXPECT_NE(body.find("data-charts=\"4\""), std::string::npos) << body;

  std::vector<std::string> shot = common;
  std::string png = dir / "shot.png";
  shot.insert(shot.end(), {"--screenshot=" + png, "file://" + page});
  RunResult s = RunProgram(chromium, shot);
  ASSERT_EQ(s.status, 0) << s.err;
  // An empty white page of this size compresses to a few KB.
  EXPECT_GT(FileSizeOf(png), 60000);
}

}  // namespace
