#include "fuzz_command_line.h"
#include "test_support.h"

namespace {

const char kUsageHead[] = "Usage: ordavi [options] <path|file>\n\n Options:\n";

TEST(OptionLoop, NoArgumentsShowsBannerAndUsage) {
  ParseResult r = ParseArgs("");
  EXPECT_EQ(std::tie(r.exited, r.status), std::make_tuple(true, 1));
  EXPECT_TRUE(r.out.starts_with("Ordavi 4.23 for Linux\n"));
  EXPECT_TRUE(r.err.starts_with(kUsageHead));
  // Printed as a format: "%%" comes out as one "%".
  EXPECT_NE(r.err.find("read middle 'perc'% of frame (ignored in write test)\n"), r.err.npos);
  EXPECT_TRUE(r.err.ends_with("   --verbose       Verbose/debugging mode\n\n"));
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 32);
}

// A command line gives the frames, write test, frame size, DPX header, rate,
// queue and, with -a/-t, the flags -v -m -s -B -o, the mode and the ops; or
// a message and the usage text. A value is attached or separate, in any
// base; -e keeps the header flag, -z keeps a write test; the queue follows
// the first -f unless -q; the last of -a / -t and the last path win.
TEST(OptionLoop, ValuesOrTheMessageNamingTheOptionAndValue) {
  const std::string kFrames = "Number of frames is out of range, can be from 1 to 2000000000\n";
  const struct {
    const char* args;
    std::string expected;
  } cases[] = {
      {"-n0x10 p", "16 0 0 0 0 0"},
      {"-n 010 p", "8 0 0 0 0 0"},
      {"-n \t+7 p", "7 0 0 0 0 0"},
      {"-w hd p", "1800 1 8294400 1 0 0"},
      {"-w 100 p", "1800 1 102400 0 0 0"},
      {"-z 4k p", "1800 0 50987008 1 0 0"},
      {"-w hd -e p", "1800 1 0 1 0 0"},
      {"-w sd -r p", "1800 0 1382400 1 0 0"},
      {"-w sd -z 2k p", "1800 1 12746752 1 0 0"},
      {"-q 5 -f 30 p", "1800 0 0 0 30 5"},
      {"-f 30 -q 5 p", "1800 0 0 0 30 5"},
      {"-f 30 -f 10 p", "1800 0 0 0 10 30"},
      {"-f 0 p", "1800 0 0 0 0 0"},
      {"-vm -sBo -a 8 -t4 first p", "1800 0 0 0 0 0 11111 2 4"},
      {"-n 5", "Path not specified\n\n"},
      {"-v ", "Path not specified\n\n"},
      {"-n 10k p", "Invalid option: -n 10k\n\n"},
      {"p -n", kFrames},
      {"-vn 5 p", kFrames},
      {"-n 4294967297 p", kFrames},
      {"-w HD p", "Invalid option: -w HD\n\n"},
      {"-w 2097152 p", "Size of file is out of range, can be from 0 to 2097151\n"},
      {"-f 101 p", "The desired frame rate is out of range, can be from 0 to 100\n"},
      {"-h -1 p", "The histogram period is out of range, can be from 0 to 1000\n"},
      {"-x -n p", "Missing file name for log\n\n"},
      {"-g x p", "ZEVROv2 is not supported with this version of Ordavi\n\n"},
      {"- p", "Unrecognised option: -  \n\n"},
      {"-j p", "Unrecognised option: -j \n\n"},
      {"-\xc3\xa9 p", "Unrecognised option: -\xc3 \n\n"},
      {"--header p", "Missing value for --header option\n\n"},
      {"--header=2000 p", "Header size is out of range, can be from 0 to 1024\n"},
      {"--header=12x p", "Invalid option: --header=12x\n\n"},
      {"--name= p", "Missing name for --name option\n\n"},
      {"--foo=1 p", "Unrecognised option: --foo=1\n\n"},
      {"p --", "Unrecognised option: --\n\n"},
  };
  for (const auto& c : cases) {
    ParseResult r = ParseArgs(c.args);
    if (r.exited) {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.err.starts_with(c.expected + kUsageHead)) << c.args << ": " << r.err;
      continue;
    }
    char got[96];
    int n = snprintf(got, sizeof got, "%d %d %d %d %d %d", g_numFrames, r.cl.isWriteTest,
                     g_fileSize, int(r.cl.addDpxHeader), g_frameRate, g_frameQueueSize);
    if (g_testMode)
      snprintf(got + n, sizeof got - n, " %d%d%d%d%d %d %d", g_isReverse, g_isRandom, g_streamMode,
               g_bufferedIo, g_isOutOfOrderIo, g_testMode, g_numOps);
    EXPECT_EQ(std::string(got) + r.cl.path, c.expected + "p") << c.args;
  }
}

TEST(NamePattern, TurnsTheFirstFileIntoAPatternOrRefuses) {
  const struct {
    std::string value;
    std::string pattern;  // empty: refused, the default pattern stays
    int first;
  } cases[] = {
      {"shot_000100.dpx", "shot_%06d.dpx", 100},
      {"clip", "clip%06d.tst", 0},
      {"abc9def.dpx", "abc%01ddef.dpx", 9},
      {"7.dpx", "7%06d.dpx", 0},
      {"123.dpx", "%03d.dpx", 123},
      {"sub/dir/take_0042.exr", "sub/dir/take_%04d.exr", 42},
      {"v2.0/clip.dpx", "v2.0/clip%06d.dpx", 0},
      {"12/a.dpx", "12/a%06d.dpx", 0},
      // A "%" in the name is literal: the pattern keeps exactly one conversion.
      {"50%_001.dpx", "50%%_%03d.dpx", 1},
      {"a%s%n.dpx", "a%%s%%n%06d.dpx", 0},
      {std::string(71, 'a'), std::string(71, 'a') + "%06d.tst", 0},  // 79 characters
      {"", "", 0},
      {"frame99999999999.dpx", "", 0},  // beyond an int
      {std::string(79, 'a'), "", 0},
  };
  for (auto& c : cases) {
    ResetParameters();
    EXPECT_EQ(ApplyNamePattern(c.value.c_str()), !c.pattern.empty()) << c.value;
    EXPECT_EQ(g_fileName, c.pattern.empty() ? "frame%06d.tst" : c.pattern) << c.value;
    EXPECT_EQ(g_firstFileNum, c.first) << c.value;
  }
  EXPECT_TRUE(ParseArgs("--name=" + std::string(100, 'x') + " p").exited);
}

// Replays the command-line fuzzer's seed corpus and every input that once
// made it fail, so a fixed fault stays fixed in the plain test run too.
TEST(FuzzCorpus, EveryInputParsesWithoutFault) {
  ForEachFuzzInput({"corpus", "regressions"}, [](const std::string&, const std::string& data) {
    ParseResult r;
    Capture(&r, [&] {
      fuzzing::FuzzCommandLine(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    });
  });
}

}  // namespace
