// ordavi-streams: the search's logic, the catalogue, and end-to-end runs of
// the real program (which runs the real ordavi) on real files, on a loop
// device throttled with the blkio cgroup, with streams killed and the whole
// run interrupted.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "formats.h"
#include "harness.h"
#include "search.h"

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace streams;

namespace {

const char kStreams[] = ORDAVI_STREAMS_BINARY;

// Probes a storage that carries `capacity` streams, where the probes
// numbered in `flaky` (from 0) fail whatever their count; the counts probed.
std::vector<int> Probed(int capacity, const std::vector<size_t>& flaky, Search* s) {
  std::vector<int> seen;
  for (int n; (n = s->Next()) != 0 && seen.size() < 100;) {
    bool pass = n <= capacity && std::count(flaky.begin(), flaky.end(), seen.size()) == 0;
    seen.push_back(n);
    s->Record(n, pass);
  }
  return seen;
}

TEST(Search, DoublesBisectsConfirmsWithinTheProbeBound) {
  // capacity, limit, repeat, probes that fail anyway, answer, probes made.
  const std::tuple<int, int, int, std::vector<size_t>, int, std::vector<int>> cases[] = {
      {0, 256, 1, {}, 0, {1}},
      {1, 256, 1, {}, 1, {1, 2, 1}},
      {5, 256, 1, {}, 5, {1, 2, 4, 8, 6, 5, 5}},
      {255, 256, 1, {}, 255, {}},
      {300, 256, 2, {}, 256, {1, 2, 4, 8, 16, 32, 64, 128, 256, 256, 256}},
      {3, 12, 0, {}, 3, {1, 2, 4, 3}},
      {6, 256, 1, {4}, 5, {1, 2, 4, 8, 6, 5, 5}},     // a count that failed is not the answer
      {5, 256, 1, {6}, 4, {1, 2, 4, 8, 6, 5, 5, 4}},  // a failed confirmation lowers it
  };
  for (const auto& [capacity, limit, repeat, flaky, answer, probes] : cases) {
    Search s(limit, repeat);
    std::vector<int> seen = Probed(capacity, flaky, &s);
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    EXPECT_EQ(std::pair(s.Answer(), s.Lowered()),
              std::pair(answer, flaky == std::vector<size_t>{6}));
    if (!probes.empty()) {
      EXPECT_EQ(seen, probes);
    }
    if (answer > 0 && repeat == 1 && flaky.empty()) {
      EXPECT_LE(double(seen.size()), 2 * std::log2(answer) + 3);
    }
  }
}

TEST(Formats, PublishedSizesWholePagesAndNearestNames) {
  const std::pair<const char*, int64_t> published[] = {
      {"dnxhr-hqx-uhd", 3641344}, {"dnxhr-444-uhd", 7286784}, {"v210-uhd", 22118400},
      {"dpx10-uhd", 33177600},    {"prores-hq-hd", 921600},   {"exr-half-rgba-uhd", 66355200}};
  for (const auto& [name, bytes] : published) EXPECT_EQ(FindFormat(name)->bytesPerFrame, bytes);
  for (const Format& f : Catalogue()) EXPECT_EQ(f.bytesPerFrame % 4096, 0) << f.name;
  EXPECT_EQ(NearestFormats("dnxhr-hqx", 3),
            (std::vector<std::string>{"dnxhr-hqx-hd", "dnxhr-hqx-uhd", "dnxhr-hqx-4k"}));
  EXPECT_EQ(NearestFormats("v210-uhdd", 1), std::vector<std::string>{"v210-uhd"});
}

RunResult Streams(const std::string& args, const RunOptions& o = {}) {
  return RunProgram(kStreams, Words(args), o);
}

// The per-stream figures of a probe agree with the timing log each names.
void ExpectMatchesLogs(const json& probe) {
  for (const json& s : probe["per_stream"]) {
    std::string text = ReadFile(s["log"]);
    SCOPED_TRACE(s["log"].get<std::string>());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("DroppedFrames,(\\d+)")));
    EXPECT_EQ(s["dropped_frames"].get<int64_t>(), std::stoll(m[1]));
    EXPECT_EQ(s["frames"].get<size_t>(), LogRows(s["log"]).size());
    EXPECT_EQ(s["passed"], s["reason"] == "") << s["reason"];
    EXPECT_EQ(s["passed"].get<bool>() && s["dropped_frames"] == 0, s["passed"].get<bool>());
  }
}

bool Alive(int pid) { return kill(pid, 0) == 0; }

// A mix on the plain disk: per-stream verdicts, the JSON against the logs,
// nothing of the frames left; then the page in headless Chromium.
TEST(Streams, MixJsonAgainstLogsAndPage) {
  TempDir d;
  RunResult r = Streams("--size 64 --rate 23.976 --duration 1 --read 2 --write 1 --json - --html " +
                        (d / "page.html") + " " + d.path() + " -- -q 30");
  ASSERT_EQ(r.status, 0) << r.err;
  json doc = json::parse(r.out);  // stdout is the JSON document alone
  EXPECT_TRUE(Contains(r.err, "2 read + 1 write streams of 64 KB frames at 23.976 fps (run at 24)"))
      << r.err;
  const json& p = doc["probes"][0];
  EXPECT_EQ(std::tuple(doc["schema_version"], doc["answer"]["streams"], p["passed"],
                       p["per_stream"].size(), doc["parameters"]["rate_run"],
                       doc["parameters"]["frames_per_stream"]),
            std::tuple(1, 3, true, 3u, 24, 24));
  ExpectMatchesLogs(p);
  EXPECT_EQ(ListDir(d.path()), (std::vector<std::string>{"ordavi-streams-logs", "page.html"}));
  EXPECT_EQ(std::pair(doc["tool"], doc["parameters"]["bytes_per_frame"]),
            std::pair(json("ordavi-streams"), json(65536)));
  // ordavi-report reads a probe's logs as one job.
  std::string logs = p["log_dir"];
  EXPECT_EQ(Shell(std::string("'") + ORDAVI_REPORT_BINARY + "' " + logs + "/*.csv").status, 0);

  // Compared with itself: the same, status 0 even with the gate; the
  // metrics pass promtool and carry the answer. A baseline that claims one
  // stream more is worse (status 3 with the gate); one of another frame
  // size, damaged or of another schema is refused before anything runs.
  std::ofstream(d / "base.json") << r.out;
  const std::string again = "--size 64 --rate 23.976 --duration 1 --read 2 --write 1 --json - ";
  RunResult same =
      Streams(again + "--tolerance 1000 --fail-on-regression --baseline " + (d / "base.json") +
              " --metrics " + (d / "m.prom") + " " + d.path() + " -- -q 30");
  ASSERT_EQ(same.status, 0) << same.err;
  json cmp = json::parse(same.out)["comparison"];
  EXPECT_TRUE(Contains(cmp.dump(), "\"worse\":0") || Contains(cmp.dump(), "same")) << cmp.dump();
  std::string prom = ReadFile(d / "m.prom");
  EXPECT_TRUE(std::regex_search(prom, std::regex("\nordavi_streams_answer_streams\\{[^}]*\\} 3\n")))
      << prom;
  if (Sh("command -v promtool") == 0) {
    RunResult lint = Shell("promtool check metrics < " + (d / "m.prom"));
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
  }
  json claims = doc;
  claims["answer"]["streams"] = 4;
  std::ofstream(d / "more.json") << claims.dump();
  claims = doc;
  claims["parameters"]["bytes_per_frame"] = 131072;
  std::ofstream(d / "other.json") << claims.dump();
  claims["schema_version"] = 7;
  std::ofstream(d / "v7.json") << claims.dump();
  std::ofstream(d / "cut.json") << r.out.substr(0, r.out.size() / 2);
  const std::tuple<std::string, int, const char*> baselines[] = {
      {"more.json --fail-on-regression", 3, "Worse than the baseline"},
      {"other.json --force", 0, "forced|not comparable|bytes_per_frame"},
      {"other.json", 1, "ran another test: bytes_per_frame \\(131072"},
      {"v7.json", 1, "schema version 7"},
      {"cut.json", 1, "cut.json: not a JSON document"},
  };
  for (const auto& [args, status, message] : baselines) {
    RunResult b =
        Streams(again + "--baseline " + d.path() + "/" + args + " " + d.path() + " -- -q 30");
    EXPECT_EQ(b.status, status) << args << b.err;
    EXPECT_TRUE(std::regex_search(b.err, std::regex(message))) << args << "\n" << b.err;
  }

  EXPECT_FALSE(Contains(ReadFile(d / "page.html"), "http://"));
  std::string dom = ChromiumDom(d / "page.html", d / "profile");
  if (dom.empty()) GTEST_SKIP() << "SKIPPED: no Chromium";
  size_t at = dom.find("<body");
  std::string body = dom.substr(at, dom.find('>', at) - at);  // throws without a body
  EXPECT_TRUE(Contains(body, "data-status=\"ok\"") && Contains(body, "data-charts=\"1\"")) << body;
}

// 64 KiB frames at 25 fps are 1.5625 MiB/s a stream: a device throttled to
// 5 MiB/s carries 3 of them, or 2 with the throttle's bursts; 4 drop frames.
// A short queue keeps a short probe from hiding a deficit in its buffers.
TEST(Streams, SearchFindsTheThrottledCapacity) {
  LoopFs fs(64);
  SKIP_WITHOUT_LOOP(fs);
  for (const char* dir : {"read", "write"}) {
    RunResult r = InCgroup("blkio", fs.Throttle(5 << 20),
                           std::string("--size 64 --rate 25 --duration 2 --max ") + dir +
                               " --json - " + fs.frames() + " -- -q 4 -b 2",
                           kStreams);
    if (r.status == 77) GTEST_SKIP() << "no blkio cgroup here";
    ASSERT_EQ(r.status, 0) << r.err;
    json doc = json::parse(r.out);
    int answer = doc["answer"]["streams"];
    EXPECT_TRUE(answer == 2 || answer == 3) << dir << ": " << r.err;
    if (!doc["answer"]["lowered_by_confirmation"].get<bool>()) {
      EXPECT_LE(doc["probes"].size(), 2 * std::log2(answer) + 3) << r.err;
    }
    bool failed = false;
    for (const json& p : doc["probes"]) {
      ExpectMatchesLogs(p);
      failed |= !p["passed"].get<bool>() && p["dropped_frames"] > 0;
    }
    EXPECT_TRUE(failed) << "no probe dropped frames: " << r.err;
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex(std::to_string(answer) + " " + dir +
                          " streams? of 64 KB frames at 25 fps.*dropped "
                          "\\d+ frames?, \\w+ stream \\d first at \\d+\\.\\d\\d s\\.")))
        << r.err;
  }
}

// A stream killed mid-probe fails that probe with the reason; a stream whose
// frame went missing fails with ordavi's own error; kept frames are reused.
TEST(Streams, KilledAndFailingStreamsFailTheirProbe) {
  TempDir d;
  RunOptions o;
  int killed = 0;
  o.whileRunning = [&](int pid) {
    for (int ms = 0; ms < 30000 && killed == 0; ms += 5) {
      std::vector<int> kids = ChildrenOf(pid);
      if (kids.size() == 3 && WaitForHandler(kids[1], SIGINT)) killed = kids[1];
      usleep(5000);
    }
    usleep(300000);
    kill(killed, SIGKILL);
  };
  RunResult r = Streams("--size 64 --duration 3 --read 3 --keep --json - " + d.path(), o);
  ASSERT_EQ(r.status, 0) << r.err;
  json doc = json::parse(r.out);
  const json& s = doc["probes"][0]["per_stream"];
  EXPECT_EQ(std::tuple(doc["answer"]["streams"], s[0]["passed"], s[1]["passed"], s[1]["reason"],
                       s[2]["passed"], Alive(killed)),
            std::tuple(0, true, false, "killed by signal 9 (Killed)", true, false));
  EXPECT_TRUE(Contains(r.err, "NOT sustained")) << r.err;

  ASSERT_EQ(unlink((d / "ordavi-streams/read/rank0002/frame000030.tst").c_str()), 0);
  r = Streams("--size 64 --duration 3 --read 3 --json - " + d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Contains(r.err, "writing the frames")) << r.err;
  doc = json::parse(r.out);
  const json& t = doc["probes"][0]["per_stream"];
  EXPECT_EQ(std::tuple(t[0]["passed"], t[2]["passed"]), std::tuple(true, false));
  EXPECT_TRUE(Contains(t[2]["reason"], "frame000030.tst")) << t[2]["reason"];
}

// Ctrl-C mid-probe: every ordavi gets it and writes its log, the table so far
// says "interrupted", nothing is left behind, and the status says so.
TEST(Streams, InterruptStopsEveryStreamInOrder) {
  TempDir d;
  RunOptions o;
  std::vector<int> kids;
  o.whileRunning = [&](int pid) {
    for (int ms = 0; ms < 30000 && kids.size() < 2; ms += 5, usleep(5000)) kids = ChildrenOf(pid);
    for (int k : kids) WaitForHandler(k, SIGINT);
    usleep(500000);
    kill(pid, SIGINT);
  };
  RunResult r = Streams(
      "--size 64 --duration 20 --read 1 --write 1 --json " + (d / "r.json") + " " + d.path(), o);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_TRUE(Contains(r.out, "interrupted") && Contains(r.out, "Interrupted")) << r.out;
  json doc = json::parse(ReadFile(d / "r.json"));
  EXPECT_EQ(std::tuple(doc["interrupted"], doc["probes"][0]["interrupted"], kids.size()),
            std::tuple(true, true, 2u));
  for (const json& s : doc["probes"][0]["per_stream"]) {
    EXPECT_GT(s["frames"].get<int>(), 0);
    EXPECT_LT(s["frames"].get<int>(), 480);  // stopped early, log written
  }
  for (int k : kids) EXPECT_FALSE(Alive(k) || SemaphoreLeft(k));
  EXPECT_EQ(ListDir(d.path()), (std::vector<std::string>{"ordavi-streams-logs", "r.json"}));
}

TEST(Streams, BadInputIsRefusedWithStatusOne) {
  TempDir d;
  LoopFs small(16);
  std::ofstream(d / "file") << "x";
  const std::string ok = "--size 64 --read 1 --duration 1 ";
  const std::pair<std::string, const char*> cases[] = {
      {ok + d / "missing", "missing: No such file"},
      {ok + d / "file", "is not a directory"},
      {"--format dnxhr-hqx --read 1 " + d.path(), "nearest are dnxhr-hqx-hd, dnxhr-hqx-uhd"},
      {"--size 64 --rate 101 --read 1 " + d.path(), "--rate needs a number from 1 to 100"},
      {"--size 64 --read -1 " + d.path(), "--read needs a whole number from 0 to 4096"},
      {"--size 64 --format v210-hd --read 1 " + d.path(), "not both"},
      {"--size 64 " + d.path(), "give --read N and/or --write M, or --max"},
      {"--size 64 --read 1 --limit 4 " + d.path(), "--limit and --repeat go with --max"},
      {"--size 64 --read 1 --write 1 --launcher mpirun " + d.path(), "one direction per probe"},
      {ok + d.path() + " -- -f 30", "-f: the rate is --rate"},
      {ok + d.path() + " -- -n 10", "-n: the frames follow from --duration"},
      {ok + d.path() + " -- -x log.csv", "-x: each stream's timing log"},
      {ok + d.path() + " -- -vw 8", "-w: the direction is"},
      {ok + d.path() + " -- -a 99", "ordavi refused the options[\\s\\S]*out of range"},
      {"--format dpx10-uhd --max read " + small.frames(), "MiB free; the frames of 1 more read"},
  };
  for (const auto& [args, message] : cases) {
    if (!small.ok() && Contains(args, "dpx10")) continue;
    RunResult r = Streams(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_TRUE(std::regex_search(r.err, std::regex(message))) << args << "\n" << r.err;
  }
  EXPECT_EQ(ListDir(d.path()), std::vector<std::string>{"file"});
  RunOptions nobody;
  nobody.runAsUid = 65534;
  RunResult r = RunProgram(kStreams, Words(ok + d.path()), nobody);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "is not writable")) << r.err;
}

#ifdef ORDAVI_STREAMS_MPIEXEC
// The mpirun launcher: one job of 2 and of 3 ranks per probe, the same JSON.
TEST(Streams, MpirunLauncherTwoAndThreeRanks) {
  TempDir d;
  AllowMpirunAsRoot();
  for (const char* mix : {"--read 2", "--write 3"}) {
    RunResult r = Streams(std::string("--size 64 --duration 1 --launcher mpirun --mpirun-args "
                                      "--oversubscribe --json - ") +
                          mix + " " + d.path());
    ASSERT_EQ(r.status, 0) << r.err;
    json doc = json::parse(r.out);
    EXPECT_EQ(doc["answer"]["streams"], std::string(mix).back() - '0') << r.err;
    ExpectMatchesLogs(doc["probes"][0]);
  }
}
#endif

}  // namespace
