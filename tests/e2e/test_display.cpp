// The live screen of real runs: complete screens in order, none with -u 0 or
// --verbose, no wait for a long update interval once the last frame is done,
// and frames completed out of order shown only in order. The exact text of a
// screen is the unit tests' business; here it is the shape of real ones.
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

std::vector<std::string> Words(const std::string& line);  // test_engines.cpp

namespace {

// Every screen is whole (its paced-run and period blocks and ten histogram
// rows), counts 2 MB a frame and is shown only when more frames completed.
TEST(DisplayE2E, PacedRunWithPeriodShowsCompleteScreens) {
  TempDir dir;
  const std::string out = RunOk(Words("-w 2048 -n 60 -f 25 -u 1 -h 2 " + dir.path())).out;
  const std::regex screen(
      R"(Test parameters:      -w2048 -n60 -f25 -q25 \n.*\nFrames transferred:   (\d+) \((\d+)\.000)"
      R"( MB\)\n(.*\n){3}Dropped frames:       .*\n(.*\n){9}I/O stats over the last .*\n(.*\n){4})"
      R"((( {6}| {2}[ \d]{2}\d%) \|[ *]{65} {4}\n){10}.*\n  ms  <0\.1)");
  int screens = 0, last = 0;
  for (std::sregex_iterator m(out.begin(), out.end(), screen), end; m != end; ++m, ++screens) {
    EXPECT_EQ(std::stoi((*m)[2]), 2 * std::stoi((*m)[1]));
    EXPECT_GT(std::stoi((*m)[1]), last);
    last = std::stoi((*m)[1]);
  }
  EXPECT_TRUE(screens >= 1 && screens == CountOf(out, "Test parameters:")) << out;
  EXPECT_LE(last, 60);
  EXPECT_LT(out.rfind("Histogram of frame completion times:"), out.find("Overall frame rate"));
}

// No screen with -u 0 or --verbose; with a 30 s interval one screen, and the
// run still ends as soon as its 1.6 s of frames are done.
TEST(DisplayE2E, UpdateIntervalAndVerboseMode) {
  for (auto [opt, screens] : {std::pair{"-u0", 0}, {"--verbose", 0}, {"-u30", 1}}) {
    TempDir dir;
    const auto begin = std::chrono::steady_clock::now();
    RunResult r =
        RunOrdavi(Words("-w 1024 -n 40 -f 25 " + std::string(opt) + " " + dir.path()), 60);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(15)) << opt;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountOf(r.out, "Test parameters:"), screens) << opt << r.out;
    EXPECT_TRUE(Contains(r.out, "Overall frame rate")) << opt;
  }
}

// Frame 2's directory lies on a file system frozen for 3 s, so its create
// waits while the other workers write every later frame: until it is done,
// no screen may count more than two frames.
TEST(DisplayE2E, OutOfOrderFramesAreShownOnlyInOrder) {
  TempDir dir;
  LoopFs fs(16);
  SKIP_WITHOUT_LOOP(fs);
  ASSERT_EQ(symlink(fs.frames().c_str(), (dir / "part02").c_str()), 0);
  ASSERT_TRUE(fs.Freeze(true));
  RunOptions o;
  o.whileRunning = [&fs](int) {
    usleep(3000000);
    fs.Freeze(false);
  };
  RunResult r = RunOrdavi(Words("-t 3 -o -d 1 -w 4 -n 10 -u 1 " + dir.path()), o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(FileExists(fs.frames() + "/frame000002.tst"));
  const std::regex shown("Frames transferred:   (\\d+) \\(");
  int held = 0;  // screens shown while frame 2 was held
  for (std::sregex_iterator m(r.out.begin(), r.out.end(), shown), end; m != end; ++m) {
    const int n = std::stoi((*m)[1]);
    EXPECT_TRUE(n <= 2 || n == 10) << n << " frames shown\n" << r.out;
    held += n < 10;
  }
  EXPECT_GE(held, 1) << r.out;
}

}  // namespace
