// ordavi-report on the timing logs of real ordavi runs, its errors, and its
// page in a real browser.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using nlohmann::json;
const char* const kReport = ORDAVI_REPORT_BINARY;

// Runs ordavi on `target` with a timing log at `log`, in a blkio cgroup set
// up by `throttle` if given; returns `log`.
std::string OrdaviLog(const std::string& log, const std::string& options, const std::string& target,
                      const std::string& throttle = "") {
  // The target is one argument whatever it holds (a path may contain a line
  // feed); the cgroup runner's shell line only ever gets plain paths.
  std::vector<std::string> args = Words(options + " -u 0 --noinfo -x " + log);
  args.push_back(target);
  RunResult r = throttle.empty() ? RunOrdavi(args)
                                 : InCgroup("blkio", throttle,
                                            options + " -u 0 --noinfo -x " + log + " " + target);
  EXPECT_EQ(r.status, 0) << r.err;
  return log;
}

// A log's JSON agrees with the file's own DroppedFrames line and min/avg/max
// table (lines 10 and 13-15), read here independently of the program.
void ExpectMatchesLog(const json& log, const std::string& path) {
  SCOPED_TRACE(path);
  std::vector<std::string> head = SplitLines(ReadFile(path));
  int64_t rows = int64_t(LogRows(path).size()), fps = 0, histogram = 0;
  for (int64_t c : log["fps_per_second"]) fps += c;
  for (int64_t c : log["histogram"]["counts"]) histogram += c;
  EXPECT_EQ(std::tuple(log["dropped_frames"], log["rows"], log["frames_counted"], fps, histogram),
            std::tuple(std::stoll(Fields(head.at(9)).at(1)), rows, rows, rows, rows));
  // Stamps are whole microseconds: the extremes match to the printed digit,
  // the mean to its rounding.
  const char *phases[] = {"file", "open", "io", "close"}, *keys[] = {"min_ms", "mean_ms", "max_ms"};
  for (size_t i = 0; i < 4; i++) {
    EXPECT_EQ(log["phases"][phases[i]]["count"], rows) << phases[i];
    for (size_t k = 0; k < 3; k++)
      EXPECT_NEAR(log["phases"][phases[i]][keys[k]], std::stod(Fields(head.at(12 + k)).at(i + 1)),
                  k == 1 ? 0.0011 : 0.0005)
          << phases[i] << " " << keys[k];
  }
}

json VerdictAt(const json& log, double rate) {
  for (const json& v : log["verdict"])
    if (v["rate_fps"] == rate) return v;
  return json();  // null: every comparison with it fails
}

// Tiny frames at 24 fps clearly sustain (written below a directory whose
// name would end the page's script early if it were not escaped); 2 MB
// frames on a device throttled to 40 MiB/s (20 fps at best) clearly cannot
// at 100 fps with a queue of 5.
// Each unpaced run's prediction must agree with the paced run after it on
// the same storage, and all eight logs as one job add up. The page opens in
// headless Chromium with no script error and every chart painted.
TEST(Report, RealRunsJsonVerdictJobTextErrorsAndPage) {
  TempDir dir;
  LoopFs slow(96);
  SKIP_WITHOUT_LOOP(slow);
  if (Sh("test -d /sys/fs/cgroup/blkio") != 0) GTEST_SKIP() << "no blkio cgroup here";
  const std::string fast = dir / "x<!--<script>";
  mkdir(fast.c_str(), 0700);
  const char* runs[] = {
      "-w 4 -n 100",     "-w 4 -n 30 -f 24",           "-r -n 100",
      "-r -n 30 -f 24",  "-w 2048 -i 512 -n 30",       "-w 2048 -i 512 -n 30 -f 100 -q 5",
      "-r -i 512 -n 30", "-r -i 512 -n 30 -f 100 -q 5"};
  std::vector<std::string> args = Words("--json - --rates 24,100 --queue 5"), logs;
  for (const char* run : runs) {
    const std::string log = dir / (std::to_string(logs.size()) + ".csv");
    logs.push_back(logs.size() < 4 ? OrdaviLog(log, run, fast)
                                   : OrdaviLog(log, run, slow.frames(), slow.Throttle(40 << 20)));
  }
  args.insert(args.end(), logs.begin(), logs.end());
  RunResult r = RunProgram(kReport, args);
  ASSERT_EQ(std::pair(r.status, r.err), std::pair(0, std::string())) << r.err;
  json doc = json::parse(r.out);  // throws unless stdout is one JSON document alone
  int64_t frames = 0, dropped = 0, dropped100 = 0;
  for (size_t i = 0; i < logs.size(); i++) {
    const json& log = doc["logs"][i];
    ExpectMatchesLog(log, logs[i]);
    frames += log["frames_counted"].get<int64_t>();
    dropped += log["dropped_frames"].get<int64_t>();
    dropped100 += VerdictAt(log, 100)["dropped_frames"].get<int64_t>();
    if (i % 2 == 0) continue;
    int rate = i < 4 ? 24 : 100;
    json predicted = VerdictAt(doc["logs"][i - i % 2], rate), measured = VerdictAt(log, rate);
    EXPECT_EQ(std::tuple(predicted["basis"], predicted["sustained"], measured["basis"],
                         measured["sustained"], log["paced"], log["drops"]["dropped_frames"]),
              std::tuple("predicted", rate == 24, "measured", rate == 24, true,
                         measured["dropped_frames"]))
        << runs[i];
  }
  const json& job = doc["job"];
  EXPECT_EQ(std::tuple(doc["schema_version"], job["logs"], job["frames_counted"],
                       job["phases"]["file"]["count"], job["dropped_frames"],
                       VerdictAt(job, 100)["sustained"], VerdictAt(job, 100)["dropped_frames"]),
            std::tuple(2, 8, frames, frames, dropped, false, dropped100));

  // The text report and the errors, on the first log (100 rows from line 18).
  std::string text = ReadFile(logs[0]), cut = dir / "cut.csv";
  std::ofstream(cut) << text.substr(0, text.size() - 3);
  // Arguments, exit status, regexes searched in stdout and stderr ("": empty).
  const std::tuple<std::vector<std::string>, int, const char*, const char*> cases[] = {
      {{logs[0]}, 0, "rate fps +basis[^\\n]*\\n +23\\.976 +predicted .* yes", ""},
      {{"--help"}, 0, "^Usage: ordavi-report", ""},
      {{cut}, 0, "99 frames counted", "cut\\.csv:117: warning: .*cut short"},
      {{dir / "missing.csv"}, 1, "^$", "missing\\.csv: cannot open"},
      {{"--rates", "24,abc", logs[0]}, 1, "^$", "--rates needs"},
      {{"--queue", "0", logs[0]}, 1, "^$", "--queue needs a whole number from 1 to 10000"},
      {{"--bogus", logs[0]}, 1, "^$", "unknown option '--bogus'"},
      {{}, 1, "^$", "no timing log given"},
      {{"--json", dir / "no/such/dir.json", logs[0]}, 1, "^$", "cannot create JSON file"},
      {{"--html", "/dev/full", logs[0]}, 1, "^$", "cannot write HTML file /dev/full: No space"},
  };
  for (const auto& [arguments, status, out, err] : cases) {
    RunResult t = RunProgram(kReport, arguments);
    SCOPED_TRACE(arguments.empty() ? "(none)" : arguments[0]);
    EXPECT_EQ(t.status, status) << t.err;
    EXPECT_TRUE(std::regex_search(t.out, std::regex(out))) << t.out;
    EXPECT_TRUE(*err ? std::regex_search(t.err, std::regex(err)) : t.err.empty()) << t.err;
  }

  const char* chromium = "/usr/bin/chromium";
  if (access(chromium, X_OK) != 0)
    GTEST_SKIP() << "SKIPPED: " << chromium << " is not installed; the report page is untested";
  std::string page = dir / "report.html";
  // With a comparison (the same logs as the baseline) at its head.
  ASSERT_EQ(RunProgram(kReport, {"--json", dir / "base.json", logs[0], logs[3]}).status, 0);
  ASSERT_EQ(RunProgram(kReport, {"--html", page, "--baseline", dir / "base.json", logs[0], logs[3]})
                .status,
            0);
  EXPECT_FALSE(Contains(ReadFile(page), "http://"));  // nothing fetched: offline
  args = Words(
      "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--virtual-time-budget=20000 --window-size=1200,3000");
  args.insert(args.end(), {"--user-data-dir=" + dir / "profile", "file://" + page, "--dump-dom"});
  RunResult dom = RunProgram(chromium, args);
  ASSERT_EQ(dom.status, 0) << dom.err;
  // A file-time chart per log, frames per second and the histogram drawn.
  size_t at = dom.out.find("<body");
  std::string body = dom.out.substr(at, dom.out.find('>', at) - at);  // throws without a body
  EXPECT_TRUE(Contains(body, "data-status=\"ok\"") && Contains(body, "data-charts=\"4\"") &&
              !Contains(body, "data-errors"))
      << body;
  EXPECT_TRUE(Contains(dom.out, "<h2>Compared with ") && Contains(dom.out, ">same</td>"));
  // The verdicts and percentiles of the job and of each log, and the
  // hostile path shown as text.
  EXPECT_EQ(
      std::pair(CountOf(dom.out, "<th>rate (fps)</th>"), CountOf(dom.out, "<th>phase (ms)</th>")),
      std::pair(3, 3));
  EXPECT_TRUE(Contains(dom.out, "x&lt;!--&lt;script&gt;"));
}

// Logs of runs in hostile directories, and logs edited by hand: each ends in
// a report that shows no control character, or in a refusal naming the file
// and the line.
TEST(Report, HostilePathsAndEditedLogs) {
  TempDir dir;
  const std::string esc = "e\x1b]0;owned\x07\x1b[2J", quote = "q\"\nz";
  for (const std::string& d : {esc, quote}) mkdir((dir / d).c_str(), 0700);
  const std::string escLog = OrdaviLog(dir / "esc.csv", "-w 4 -n 5", dir / esc);
  const std::string quoteLog = OrdaviLog(dir / "quote.csv", "-w 4 -n 5", dir / quote);
  const std::string text = ReadFile(escLog), row1 = LogRows(escLog).at(1);
  auto edited = [&](const char* name, const std::string& from, const std::string& to) {
    std::string t = text;
    std::ofstream(dir / name) << t.replace(t.find(from), from.size(), to);
    return dir / name;
  };
  const std::vector<std::string> f = Fields(row1);
  // Arguments, exit status, regexes searched in stdout and stderr.
  const std::tuple<std::vector<std::string>, int, const char*, const char*> cases[] = {
      {{escLog}, 0, "e\\\\x1b\\]0;owned\\\\x07\\\\x1b\\[2J", "^$"},
      {{edited("host.csv", "Hostname,", "Hostname,\x1b]0;t\x07\x1b[2J")},
       0,
       " on \\\\x1b\\]0;t",
       "^$"},
      {{"--json", "-", quoteLog}, 0, "\"test_path\": \"[^\"]*/q\\\\\"\\\\nz\"", "^$"},
      {{edited("stamp.csv", "\n" + row1 + "\n",
               "\n1," + f[1] + ",-9223372036854000.000," + f[3] + "," + f[4] + "\n")},
       1,
       "^$",
       "^ordavi-report: [^\n]*stamp\\.csv:19: "},
      {{edited("huge.csv", " -w4 ", " -w9007199254740993 ")},
       1,
       "^$",
       "^ordavi-report: [^\n]*huge\\.csv:7: "},
  };
  for (const auto& [arguments, status, out, err] : cases) {
    RunResult r = RunProgram(kReport, arguments);
    SCOPED_TRACE(arguments.back());
    EXPECT_EQ(r.status, status) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(out))) << r.out;
    EXPECT_TRUE(std::regex_search(r.err, std::regex(err))) << r.err;
    for (const std::string* s : {&r.out, &r.err})
      EXPECT_TRUE(std::all_of(s->begin(), s->end(), [](unsigned char c) {
        return c == '\n' || (c >= 32 && c != 127);
      })) << *s;
  }
}

// A report that cannot be written whole (the disk is full) leaves no file
// behind, and an earlier report of the same name stays as it was.
TEST(Report, AFailedWriteKeepsTheEarlierReport) {
  LoopFs fs(8);
  SKIP_WITHOUT_LOOP(fs);
  TempDir dir;
  const std::string log = OrdaviLog(dir / "a.csv", "-w 4 -n 5", dir.path()), page = fs / "r.html";
  std::ofstream(page) << "earlier";
  Sh("dd if=/dev/zero of=" + fs / "fill" + " bs=64k");
  RunResult r = RunProgram(kReport, {"--html", page, log});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "cannot write HTML file")) << r.err;
  EXPECT_EQ(ReadFile(page), "earlier");
  EXPECT_EQ(ListDir(fs / ""), (std::vector<std::string>{"fill", "frames", "lost+found", "r.html"}));
}

// A run too short to fill its queue is judged by the storage's steady state:
// 256 KiB frames on a device throttled to 2.5 MiB/s (10 fps at most) are
// "no" at 24 fps, with the frame where the queue would overflow after the
// run's 20, and "yes" at 5 fps.
TEST(Report, AShortRunOnSlowStorageIsNotSustained) {
  LoopFs fs(64);
  struct stat st;
  if (!fs.ok() || stat(fs.device().c_str(), &st) != 0) GTEST_SKIP() << "no loop device";
  const std::string log = fs / "slow.csv";
  RunResult run =
      Shell("cg=/sys/fs/cgroup/blkio/ordavi_report_$$; mkdir $cg || exit 77; echo " +
            std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) +
            " 2621440 > $cg/blkio.throttle.write_bps_device; sh -c 'echo $$ > "
            "$0/cgroup.procs; exec $1 -w 256 -n 20 -u 0 --noinfo -x " +
            log + " " + fs.frames() + "' $cg \"$ORDAVI\"; s=$?; rmdir $cg; exit $s");
  if (run.status == 77) GTEST_SKIP() << "no blkio cgroup here";
  ASSERT_EQ(run.status, 0) << run.err;
  RunResult r = RunProgram(kReport, {"--json", "-", "--rates", "24,5", log});
  ASSERT_EQ(r.status, 0) << r.err;
  json doc = json::parse(r.out), at24 = VerdictAt(doc["logs"][0], 24),
       at5 = VerdictAt(doc["logs"][0], 5);
  EXPECT_EQ(std::tuple(at24["dropped_frames"], at24["sustained"], at24["verdict"], at5["verdict"]),
            std::tuple(0, false, "no", "yes"))
      << r.out;
  EXPECT_GT(at24["first_drop_after_frames"], 20) << r.out;
}

}  // namespace
