#include <gtest/gtest.h>

#include <algorithm>

#include "frameset.h"
#include "test_support.h"

namespace {

const char kUsageHead[] = "Usage: ordavi [options] <path|file>\n\n Options:\n";

// The message that precedes the usage text on stderr.
std::string MessageOf(const ParseResult& r) {
  size_t p = r.err.find(kUsageHead);
  return p == std::string::npos ? r.err : r.err.substr(0, p);
}

TEST(OptionLoop, NoArgumentsShowsBannerAndUsage) {
  ParseResult r = ParseArgs({});
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("Ordavi 4.23 for Linux\n", 0), 0u);
  EXPECT_EQ(r.err.rfind(kUsageHead, 0), 0u);
  // Printed as a format: "%%" comes out as one "%".
  EXPECT_NE(r.err.find("read middle 'perc'% of frame (ignored in write test)\n"),
            std::string::npos);
  const std::string tail = "   --verbose       Verbose/debugging mode\n\n";
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 32);
}

TEST(OptionLoop, ValuesSizesDirectionRateAndQueue) {
  // Frames, write test, frame size, DPX header, rate, queue. A value attached
  // or separate, in any base; named and numbered sizes; -e keeps the header
  // flag, -z keeps a write test; the queue follows the first -f unless -q.
  const struct {
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {{{"-n100"}, "100 0 0 0 0 0"},
               {{"-n", "100"}, "100 0 0 0 0 0"},
               {{"-n", "0x10"}, "16 0 0 0 0 0"},
               {{"-n", "010"}, "8 0 0 0 0 0"},
               {{"-n", " +7"}, "7 0 0 0 0 0"},
               {{"-w", "hd"}, "1800 1 8294400 1 0 0"},
               {{"-w", "100"}, "1800 1 102400 0 0 0"},
               {{"-z", "4k"}, "1800 0 50987008 1 0 0"},
               {{"-w", "hd", "-e"}, "1800 1 0 1 0 0"},
               {{"-w", "sd", "-r"}, "1800 0 1382400 1 0 0"},
               {{"-w", "sd", "-z", "2k"}, "1800 1 12746752 1 0 0"},
               {{"-f", "30"}, "1800 0 0 0 30 30"},
               {{"-q", "5", "-f", "30"}, "1800 0 0 0 30 5"},
               {{"-f", "30", "-q", "5"}, "1800 0 0 0 30 5"},
               {{"-f", "30", "-f", "10"}, "1800 0 0 0 10 30"},
               {{"-f", "0"}, "1800 0 0 0 0 0"}};
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("p");
    ParseResult r = ParseArgs(args);
    ASSERT_FALSE(r.exited) << r.err;
    EXPECT_STREQ(r.cl.path, "p");
    char got[96];
    snprintf(got, sizeof got, "%d %d %d %d %d %d", g_numFrames, r.cl.isWriteTest, g_fileSize,
             int(r.cl.addDpxHeader), g_frameRate, g_frameQueueSize);
    EXPECT_STREQ(got, c.expected) << args[0];
  }
}

TEST(OptionLoop, BadCommandLinesNameTheOptionAndValue) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-n", "5"}, "Path not specified\n\n"},
      {{"-v"}, "Path not specified\n\n"},
      {{""}, "Path not specified\n\n"},
      {{"-n", "10k", "p"}, "Invalid option: -n 10k\n\n"},
      {{"p", "-n"}, "Number of frames is out of range, can be from 1 to 2000000000\n"},
      {{"-vn", "5", "p"}, "Number of frames is out of range, can be from 1 to 2000000000\n"},
      {{"-n", "4294967297", "p"},
       "Number of frames is out of range, can be from 1 to 2000000000\n"},
      {{"-w", "HD", "p"}, "Invalid option: -w HD\n\n"},
      {{"-w", "2097152", "p"}, "Size of file is out of range, can be from 0 to 2097151\n"},
      {{"-f", "101", "p"}, "The desired frame rate is out of range, can be from 0 to 100\n"},
      {{"-h", "-1", "p"}, "The histogram period is out of range, can be from 0 to 1000\n"},
      {{"-x", "-n", "p"}, "Missing file name for log\n\n"},
      {{"-g", "x", "p"}, "ZEVROv2 is not supported with this version of Ordavi\n\n"},
      {{"-", "p"}, "Unrecognised option: -  \n\n"},
      {{"-j", "p"}, "Unrecognised option: -j \n\n"},
      {{"-\xc3\xa9", "p"}, "Unrecognised option: -\xc3 \n\n"},
      {{"--header", "p"}, "Missing value for --header option\n\n"},
      {{"--header=2000", "p"}, "Header size is out of range, can be from 0 to 1024\n"},
      {{"--header=12x", "p"}, "Invalid option: --header=12x\n\n"},
      {{"--name=", "p"}, "Missing name for --name option\n\n"},
      {{"--foo=1", "p"}, "Unrecognised option: --foo=1\n\n"},
      {{"p", "--"}, "Unrecognised option: --\n\n"},
  };
  for (auto& c : cases) {
    ParseResult r = ParseArgs(c.args);
    EXPECT_TRUE(r.exited) << c.message;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(MessageOf(r), c.message);
    EXPECT_NE(r.err.find(kUsageHead), std::string::npos) << c.message;
  }
}

TEST(OptionLoop, FlagsGroupsModesAndPath) {
  ParseResult r = ParseArgs({"-vm", "-sBo", "-a", "8", "-t4", "first", "second"});
  ASSERT_FALSE(r.exited) << r.err;
  EXPECT_TRUE(g_isReverse);
  EXPECT_TRUE(g_isRandom);
  EXPECT_TRUE(g_streamMode);
  EXPECT_TRUE(g_bufferedIo);
  EXPECT_TRUE(g_isOutOfOrderIo);
  EXPECT_EQ(g_testMode, 2);  // the last of -a / -t wins
  EXPECT_EQ(g_numOps, 4);
  EXPECT_STREQ(r.cl.path, "second");
}

struct NameCase {
  const char* value;
  const char* pattern;
  int first;
};

TEST(NamePattern, TurnsTheFirstFileIntoAPattern) {
  NameCase cases[] = {
      {"shot_000100.dpx", "shot_%06d.dpx", 100},
      {"clip", "clip%06d.tst", 0},
      {"clip.dpx", "clip%06d.dpx", 0},
      {"abc9def.dpx", "abc%01ddef.dpx", 9},
      {"7.dpx", "7%06d.dpx", 0},
      {"123.dpx", "%03d.dpx", 123},
      {"sub/dir/take_0042.exr", "sub/dir/take_%04d.exr", 42},
      {"v2.0/clip.dpx", "v2.0/clip%06d.dpx", 0},
      {"12/a.dpx", "12/a%06d.dpx", 0},
      // A "%" in the name is literal: the pattern keeps exactly one conversion.
      {"50%_001.dpx", "50%%_%03d.dpx", 1},
      {"a%s%n.dpx", "a%%s%%n%06d.dpx", 0},
  };
  for (auto& c : cases) {
    ResetParameters();
    ASSERT_TRUE(ApplyNamePattern(c.value)) << c.value;
    EXPECT_STREQ(g_fileName, c.pattern) << c.value;
    EXPECT_EQ(g_firstFileNum, c.first) << c.value;
  }
}

TEST(NamePattern, RefusesWhatCannotBeAPattern) {
  ResetParameters();
  EXPECT_FALSE(ApplyNamePattern(""));
  EXPECT_FALSE(ApplyNamePattern("frame99999999999.dpx"));  // beyond an int
  EXPECT_FALSE(ApplyNamePattern(std::string(79, 'a').c_str()));
  EXPECT_STREQ(g_fileName, "frame%06d.tst");                    // unchanged after a refusal
  EXPECT_TRUE(ApplyNamePattern(std::string(71, 'a').c_str()));  // 71 + "%06d.tst" = 79

  ParseResult r = ParseArgs({"--name=" + std::string(100, 'x'), "p"});
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 1);
}

}  // namespace
