// End-to-end: the figures themselves. Out-of-order frames become visible
// only in order (a frame held in its create on a frozen file system), and a
// cropped read transfers the middle of the frame.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

TEST(Measurement, OutOfOrderFramesAreShownOnlyInOrder) {
  // Frame 2's directory lies on a file system frozen for 3 s, so its create
  // waits while the other workers write every later frame: until it is done,
  // no screen may count more than two frames.
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
  RunResult r =
      RunOrdavi({"-t", "3", "-o", "-d", "1", "-w", "4", "-n", "10", "-u", "1", dir.path()}, o);
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

TEST(Measurement, CropReadsTheMiddleOfTheFrame) {
  // Frame 1 is cut to half its size: reading its middle half (from a quarter
  // in) comes up short by a quarter frame, reading from its start would not.
  for (const Engine& e : AllEngines()) {
    SCOPED_TRACE(e.name);
    TempDir dir;
    RunOk({"-w", "400", "-n", "2", "-u", "0", dir.path()});
    ASSERT_EQ(truncate((dir / "frame000001.tst").c_str(), 204800), 0);
    RunResult r = RunOrdavi(With(e, {"-n", "2", "-c", "50", "-u", "0", dir.path()}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "Only 102400 of 204800 bytes were read")) << r.err;
  }
}

}  // namespace
