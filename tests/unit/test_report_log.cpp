// The timing-log reader of ordavi-report: both log forms, the test path as
// ordavi writes it, logs cut short and files that are no timing log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis.h"
#include "timing_log.h"

namespace {

using report::LogError;
using report::ParseTimingLog;
using report::TimingLog;

const char kPacedHead[] =
    "Date,07-Dec-2026\nTime,01:02:03\nVersion,4.23\nOS,Linux 6.1 #1\nHostname,vm\n"
    "TestPath,\"/mnt/a\"\nParameters,\" -r -z8100 -n4 -t3 -f25 -q20 -b5 \"\n"
    "FrameRate,24.95,fps\nBandwidth,197.40,MB/s\nDroppedFrames,1\n\n"
    ",file,open,io,close,queue\nmin,1.000,0.010,0.900,0.005,3\navg,2.000,0.020,1.900,0.010,"
    "9.5\nmax,3.000,0.030,2.900,0.015,19\n\nnum,start,open,io,close,frametime,queue\n";
const char kPacedRows[] =
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

TEST(ReportLog, PacedForm) {
  TimingLog log = Parse(std::string(kPacedHead) + kPacedRows);
  EXPECT_TRUE(log.paced);
  EXPECT_EQ(log.date, "07-Dec-2026");
  EXPECT_EQ(log.time, "01:02:03");
  EXPECT_EQ(log.testPath, "/mnt/a");
  EXPECT_EQ(log.parameters, "-r -z8100 -n4 -t3 -f25 -q20 -b5");
  EXPECT_FALSE(log.params.isWrite);
  EXPECT_EQ(log.params.frameSizeBytes, 8100 * 1024);
  EXPECT_EQ(log.params.engine, "threaded");
  EXPECT_EQ(log.params.ops, 3);
  EXPECT_EQ(log.params.frameRate, 25);
  EXPECT_EQ(log.params.queueSize, 20);
  EXPECT_EQ(log.params.preBuffer, 5);
  EXPECT_EQ(log.droppedFrames, 1);
  EXPECT_DOUBLE_EQ(log.bandwidthMiBps, 197.40);
  EXPECT_DOUBLE_EQ(log.tableAvg.queue, 9.5);
  EXPECT_DOUBLE_EQ(log.tableMax.file, 3.0);
  ASSERT_EQ(log.rows(), 4u);
  EXPECT_EQ(log.start[0], 1);  // microseconds, exact
  EXPECT_EQ(log.close[1], 3010);
  EXPECT_EQ(log.frameTime[2], 160000);
  EXPECT_EQ(log.queue[3], 16);
  EXPECT_FALSE(log.truncated);

  // The gap of two periods before frame 2 is where the drop fell.
  report::LogAnalysis a = report::Analyse(log, report::Options{});
  ASSERT_EQ(a.drops.size(), 1u);
  EXPECT_EQ(a.drops[0].frame, 2);
  EXPECT_DOUBLE_EQ(a.drops[0].timeMs, 120.0);
  EXPECT_EQ(a.dropsLocated, 1);
  // At its own rate the verdict is the run's drop count, not the model's.
  for (const report::Verdict& v : a.verdicts) EXPECT_EQ(v.measured, v.rateFps == 25);
}

TEST(ReportLog, UnpacedForm) {
  TimingLog log = Parse(kUnpacedLog);
  EXPECT_FALSE(log.paced);
  EXPECT_TRUE(log.params.isWrite);
  EXPECT_TRUE(log.params.stream);
  EXPECT_EQ(log.params.engine, "sync");
  EXPECT_EQ(log.rows(), 3u);
  EXPECT_TRUE(log.frameTime.empty());
}

TEST(ReportLog, TestPathWithQuotesCommasAndLineFeeds) {
  struct Case {
    const char* line;  // as written into the log
    const char* path;
  };
  const Case cases[] = {
      {"TestPath,\"/mnt/a,b\"", "/mnt/a,b"},
      {"TestPath,\"/mnt/say \"hi\", ok\"", "/mnt/say \"hi\", ok"},      // written unchanged
      {"TestPath,\"/mnt/say \"\"hi\"\", ok\"", "/mnt/say \"hi\", ok"},  // quotes doubled
      {"TestPath,\"/mnt/two\nlines\"", "/mnt/two\nlines"},
  };
  for (const Case& c : cases) {
    std::string text = kUnpacedLog;
    text.replace(text.find("TestPath,\"d\""), 12, c.line);
    EXPECT_EQ(Parse(text).testPath, c.path) << c.line;
  }
}

TEST(ReportLog, LastRowCutShortIsLeftOutWithAWarning) {
  std::string text = std::string(kPacedHead) + kPacedRows;
  for (size_t cut : {1, 5, 20}) {  // within the last row, even one that still looks whole
    std::vector<std::string> warnings;
    TimingLog log = Parse(text.substr(0, text.size() - cut), &warnings);
    EXPECT_EQ(log.rows(), 3u);
    EXPECT_TRUE(log.truncated);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("t.csv:21:"), std::string::npos) << warnings[0];
  }
}

TEST(ReportLog, ForeignFilesNameTheLine) {
  std::string good = std::string(kPacedHead) + kPacedRows;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  struct Case {
    std::string text;
    const char* where;  // file and line in the message
  };
  const Case cases[] = {
      {"", "t.csv:1:"},
      {"num,start,open\n0,1,2\n", "t.csv:1:"},
      {std::string("\x7f"
                   "ELF\x02\x01\x01",
                   7),
       "t.csv:1:"},
      {good.substr(0, 60), "t.csv:"},  // cut inside the header
      {replaced("Hostname,vm", "Host,vm"), "t.csv:5:"},
      {replaced(" -r -z8100", " -z8100"), "t.csv:7:"},  // no direction
      {replaced("FrameRate,24.95", "FrameRate,fast"), "t.csv:8:"},
      {replaced("min,1.000,0.010", "min,1.000"), "t.csv:13:"},
      {replaced("1,1.010,1.030", "1,1.010,x"), "t.csv:19:"},
      {replaced("2,3.100", "7,3.100"), "t.csv:20:"},           // rows out of order
      {replaced("2,3.100", "2,9000000000.000"), "t.csv:20:"},  // beyond 100 days
      {replaced(" -f25 ", " -f0 "), "t.csv:12:"},              // paced without a rate
      {replaced("3,5.100,5.110,6.000,6.100,200.000,16", "3,5.1,5.1,6,6.1"), "t.csv:21:"},
  };
  for (const Case& c : cases) {
    try {
      Parse(c.text);
      ADD_FAILURE() << "accepted: " << c.text.substr(0, 80);
    } catch (const LogError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.where, 0), 0u) << e.what();
    }
  }
}

TEST(ReportLog, CountedRowsAreTheSummaryTablesRows) {
  // Row 1 never finished (its close stamp was never written); row 3 never
  // started, so the count stops there although row 4 has stamps.
  std::string text = kUnpacedLog;
  text += "3,-9000.000,-9000.000,-9000.000,-9000.000\n4,4.000,4.000,5.000,5.000\n";
  text.replace(text.find("1,1.000,1.000,2.000,2.000"), 25, "1,1.000,1.000,2.000,-9000.000");
  TimingLog log = Parse(text);
  EXPECT_EQ(report::CountedRows(log), (std::vector<uint32_t>{0, 2}));
}

TEST(ReportLog, MissingFileIsAnErrorNamingIt) {
  try {
    report::ReadTimingLog("/nonexistent/x.csv", nullptr);
    ADD_FAILURE();
  } catch (const LogError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/x.csv"), std::string::npos);
  }
}

}  // namespace
