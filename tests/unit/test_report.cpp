// ordavi-report's timing-log reader (both log forms, test paths as ordavi
// writes them, logs cut short, files that are no timing log) and its figures
// (nearest-rank percentiles, histogram columns, the frame-queue model).
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "analysis.h"
#include "escape.h"
#include "fuzz_report.h"
#include "test_support.h"
#include "timing_log.h"

namespace {

using namespace report;

const std::string kPaced =
    "Date,07-Dec-2026\nTime,01:02:03\nVersion,4.23\nOS,Linux 6.1 #1\nHostname,vm\n"
    "TestPath,\"/mnt/a\"\nParameters,\" -r -z8100 -n4 -t3 -f25 -q20 -b5 \"\n"
    "FrameRate,24.95,fps\nBandwidth,197.40,MB/s\nDroppedFrames,1\n\n"
    ",file,open,io,close,queue\nmin,1.000,0.010,0.900,0.005,3\navg,2.000,0.020,1.900,0.010,"
    "9.5\nmax,3.000,0.030,2.900,0.015,19\n\nnum,start,open,io,close,frametime,queue\n"
    "0,0.001,0.011,1.000,1.006,40.000,19\n1,1.010,1.030,3.000,3.010,80.000,18\n"
    "2,3.100,3.120,5.000,5.005,160.000,17\n3,5.100,5.110,6.000,6.100,200.000,16\n";
const char kUnpacedLog[] =
    "Date,07-Dec-2026\nTime,01:02:03\nVersion,4.23\nOS,Linux\nHostname,vm\n"
    "TestPath,\"d\"\nParameters,\" -w256 -n3 -s \"\nFrameRate,100.00,fps\n"
    "Bandwidth,25.00,MB/s\nDroppedFrames,0\n\n,file,open,io,close\n"
    "min,1.000,0.000,1.000,0.000\navg,1.000,0.000,1.000,0.000\nmax,1.000,0.000,1.000,0.000\n\n"
    "num,start,open,io,close\n0,0.000,0.000,1.000,1.000\n1,1.000,1.000,2.000,2.000\n"
    "2,2.000,2.000,3.000,3.000\n";

TimingLog Parse(const std::string& text, std::vector<std::string>* warnings = nullptr) {
  return ParseTimingLog(text, "t.csv", warnings);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(ReportLog, BothForms) {
  TimingLog p = Parse(kPaced);
  const RunParams& r = p.params;
  EXPECT_EQ(std::tuple(p.paced, p.date, p.time, p.testPath, p.parameters, p.droppedFrames,
                       p.bandwidthMiBps, p.tableAvg.queue, p.tableMax.file, p.truncated),
            std::tuple(true, "07-Dec-2026", "01:02:03", "/mnt/a", "-r -z8100 -n4 -t3 -f25 -q20 -b5",
                       1, 197.40, 9.5, 3.0, false));
  EXPECT_EQ(std::tuple(r.isWrite, r.frameSizeBytes, r.engine, r.ops, r.frameRate, r.queueSize,
                       r.preBuffer),
            std::tuple(false, 8100 * 1024, "threaded", 3, 25, 20, 5));
  using V = std::vector<int64_t>;  // stamps in whole microseconds
  EXPECT_EQ(std::tuple(p.start, p.close, p.frameTime, p.queue),
            std::tuple(V{1, 1010, 3100, 5100}, V{1006, 3010, 5005, 6100},
                       V{40000, 80000, 160000, 200000}, std::vector<int32_t>{19, 18, 17, 16}));
  // The same log after a Windows editor: carriage returns before the line feeds.
  EXPECT_EQ(Parse(std::regex_replace(kPaced, std::regex("\n"), "\r\n")).queue, p.queue);

  // The gap of two periods before frame 2 is where the drop fell; at the
  // run's own rate the verdict is its drop count, not the model's.
  LogAnalysis a = Analyse(p, Options{});
  ASSERT_EQ(a.drops.size(), 1u);
  EXPECT_EQ(std::tuple(a.drops[0].frame, a.drops[0].timeMs, a.dropsLocated),
            std::tuple(2, 120.0, 1));
  for (const Verdict& v : a.verdicts) EXPECT_EQ(v.measured, v.rateFps == 25);

  TimingLog u = Parse(kUnpacedLog);
  EXPECT_EQ(std::tuple(u.paced, u.params.isWrite, u.params.stream, u.params.engine, u.rows(),
                       u.frameTime.size()),
            std::tuple(false, true, true, "sync", 3u, 0u));
}

// Test paths with commas, quotes (as ordavi wrote them, or doubled) and line
// feeds; a last row without its line feed, even one that looks whole, left
// out with a warning; the rows the summary counts: not row 1, which never
// finished, nor any from row 3 on, which never started.
TEST(ReportLog, OddLogsThatStillRead) {
  const std::pair<const char*, const char*> cases[] = {
      {"TestPath,\"/mnt/a,b\"", "/mnt/a,b"},
      {"TestPath,\"/mnt/say \"hi\", ok\"", "/mnt/say \"hi\", ok"},
      {"TestPath,\"/mnt/say \"\"hi\"\", ok\"", "/mnt/say \"hi\", ok"},
      {"TestPath,\"/mnt/two\nlines\"", "/mnt/two\nlines"},
      {"TestPath,\"/mnt/q\"\"\nz\"\"\"", "/mnt/q\"\nz\""},
  };
  for (auto [line, path] : cases)
    EXPECT_EQ(Parse(Replaced(kUnpacedLog, "TestPath,\"d\"", line)).testPath, path) << line;

  std::vector<std::string> warnings;
  TimingLog cut = Parse(kPaced.substr(0, kPaced.size() - 1), &warnings);
  EXPECT_EQ(std::tuple(cut.rows(), cut.truncated, warnings.size(),
                       warnings.at(0).find("t.csv:21: warning")),
            std::tuple(3u, true, 1u, 0u));

  std::string text =
      Replaced(kUnpacedLog, "1,1.000,1.000,2.000,2.000", "1,1.000,1.000,2.000,-9000.000") +
      "3,-9000.000,-9000.000,-9000.000,-9000.000\n4,4.000,4.000,5.000,5.000\n";
  EXPECT_EQ(CountedRows(Parse(text)), (std::vector<uint32_t>{0, 2}));
}

TEST(ReportLog, ForeignFilesNameTheLine) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "t.csv:1:"},
      {"num,start,open\n0,1,2\n", "t.csv:1:"},
      {kPaced.substr(0, 60), "t.csv:"},  // cut inside the header
      {Replaced(kPaced, "Hostname,vm", "Host,vm"), "t.csv:5:"},
      {Replaced(kPaced, " -r -z8100", " -z8100"), "t.csv:7:"},  // no direction
      {Replaced(kPaced, "FrameRate,24.95", "FrameRate,fast"), "t.csv:8:"},
      {Replaced(kPaced, " -f25 ", " -f0 "), "t.csv:12:"},  // paced without a rate
      {Replaced(kPaced, "min,1.000,0.010", "min,1.000"), "t.csv:13:"},
      {Replaced(kPaced, "1,1.010,1.030", "1,1.010,x"), "t.csv:19:"},
      {Replaced(kPaced, "2,3.100", "7,3.100"), "t.csv:20:"},           // rows out of order
      {Replaced(kPaced, "2,3.100", "2,9000000000.000"), "t.csv:20:"},  // beyond 100 days
      {Replaced(kPaced, "1,1.010,1.030", "1,1.010,-9223372036854000.000"), "t.csv:19:"},
      {Replaced(kPaced, " -z8100", " -z9007199254740993"), "t.csv:7:"},  // x 1024 overflows
      {Replaced(kPaced, " -t3 ", " -t21 "), "t.csv:7:"},
  };
  for (const auto& [text, where] : cases) {
    try {
      Parse(text);
      ADD_FAILURE() << "accepted: " << text.substr(0, 80);
    } catch (const LogError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(where, 0), 0u) << e.what();
    }
  }
}

TEST(ReportEscape, TerminalAndScript) {
  EXPECT_EQ(ForTerminal("h\x1b]0;t\x07\x1b[2J\xc2\x9b\x7f\xff\t\r\n caf\xc3\xa9 \xe2\x80\xa8"),
            "h\\x1b]0;t\\x07\\x1b[2J\\xc2\\x9b\\x7f\\xff\\t\\r\\n caf\xc3\xa9 \xe2\x80\xa8");
  EXPECT_EQ(
      ForScript("[\"<!--<script></script>&\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xa7\"]"),
      "[\"\\u003c!--\\u003cscript\\u003e\\u003c/script\\u003e\\u0026\\u2028\\u2029\xe2\x80\xa7\"]");
}

// Replays the report fuzzer's seed corpus and every input that once made it
// fail: each ends in a report or a refusal naming the file and the line.
TEST(ReportFuzzCorpus, EveryInputEndsInAReportOrARefusal) {
  ForEachFuzzInput({"report_corpus", "report_regressions"}, [](auto& path, auto& data) {
    EXPECT_EQ(fuzzing::FuzzReport(reinterpret_cast<const uint8_t*>(data.data()), data.size()), "")
        << path;
  });
}

// n .. 1 (times scale): descending, so that nothing relies on sorted input.
std::vector<int64_t> Down(int64_t n, int64_t scale = 1) {
  std::vector<int64_t> v;
  for (int64_t x = n; x > 0; x--) v.push_back(x * scale);
  return v;
}

TEST(ReportFigures, PercentilesAndHistogramColumns) {
  const std::tuple<std::vector<int64_t>, int64_t, int64_t> cases[] = {
      {Down(10), 500000, 5},     {Down(10), 990000, 10},    {Down(1000), 999000, 999},
      {{7}, 999900, 7},          {{1, 5, 1, 5}, 500000, 1}, {{1, 5, 1, 5}, 510000, 5},
      {{4, 1, 9, 3}, 250000, 1},
  };
  for (auto [values, ppm, expected] : cases)
    EXPECT_EQ(NearestRank(values, ppm), expected) << values.size() << " values, " << ppm;
  PhaseStats s = ComputePhase(Down(1000, 1000));  // 1 ms .. 1000 ms
  EXPECT_EQ(std::tuple(s.count, s.minMs, s.maxMs, s.meanMs), std::tuple(1000, 1.0, 1000.0, 500.5));
  EXPECT_NEAR(s.stddevMs, 288.6749, 1e-4);
  EXPECT_EQ(s.pctMs, (std::array<double, 5>{500, 900, 990, 999, 1000}));

  // The columns themselves are ordavi's (test_display.cpp); here, microseconds.
  EXPECT_EQ(std::pair(HistogramColumn(1000), HistogramColumn(100000)), std::pair(16, 48));
}

// At 25 fps, queue 25 (1000 ms): a 1500 ms stall leaves the 12 ticks of
// its last 500 ms without a frame. With 50 ms frames playback finds the
// queue empty 68 times; capture, once its queue is full, loses 44 periods.
TEST(ReportModel, HandMadeRuns) {
  const std::tuple<int64_t, int64_t, bool, int64_t> cases[] = {
      {10, 900, false, 0}, {10, 1500, false, 12}, {10, 900, true, 0}, {10, 1500, true, 12},
      {40, 0, false, 0},   {50, 0, false, 68},    {50, 0, true, 44},
  };
  for (auto [each, stall, write, drops] : cases) {
    std::vector<int64_t> v(300, each * 1000000);
    if (stall) v[100] = stall * 1000000;
    EXPECT_EQ(PredictDrops(v, ConfigForRate(25, write, 0, -1)), drops)
        << each << " ms, stall " << stall << (write ? " write" : " read");
  }
}

// A short run on storage below the rate may drop nothing in the model, yet
// is never "sustained": 40 frames of 99 ms back to back (10.1 fps) fill a
// 24-frame queue at 24 fps, and a 11-frame one at 10.5 fps, only after the
// run (where a pre-buffer of 5 also runs dry); within 3 % of the capacity
// the run cannot tell; well above it the verdict is yes, unless a 3 s stall
// fills the queue (then capacity is 5.75 fps: 4 fps is above it, and "no").
TEST(ReportModel, AVerdictNeverContradictsItsHeadroom) {
  using R = std::tuple<int64_t, Call, int64_t>;  // dropped, verdict, first drop after
  const Call no = Call::kNo, unsure = Call::kTooClose, yes = Call::kYes;
  const std::vector<double> rates = {24, 10.5, 10, 9};
  const std::tuple<bool, int64_t, std::vector<double>, std::vector<R>> cases[] = {
      {true, 0, rates, {{0, no, 42}, {0, no, 290}, {0, unsure, -1}, {0, yes, -1}}},
      {false, 0, rates, {{41, no, 10}, {0, no, 157}, {0, unsure, -1}, {0, yes, -1}}},
      {true, 3000000, {4}, {{8, no, 25}}},
  };
  for (const auto& [write, stall, judged, want] : cases) {
    TimingLog log;
    log.params.isWrite = write;
    for (int64_t k = 0; k < 40; k++) {
      int64_t at = k * 99000 + (k > 20 ? stall : 0);
      for (auto* col : {&log.start, &log.open}) col->push_back(at);
      for (auto* col : {&log.io, &log.close}) col->push_back(at + 99000 + (k == 20 ? stall : 0));
    }
    Options opt;
    opt.rates = judged;
    std::vector<R> got;
    for (const Verdict& v : Analyse(log, opt).verdicts)
      got.push_back({v.dropped, v.call, v.firstDropAfter});
    EXPECT_EQ(got, want) << (write ? "capture" : "playback") << ", stall " << stall;
  }
}

}  // namespace
