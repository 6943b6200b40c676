// End-to-end: the figures themselves. Each test holds a run at a known point
// (a frame on a frozen file system waits in its create; SIGSTOP freezes the
// whole process) and checks what was measured: the pacing grid never catches
// up in a burst, out-of-order frames become visible only in order, and a
// cropped read transfers the middle of the frame. (Dropped frames are counted
// on a throttled device, with the other pacing tests.)
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

TEST(Measurement, PacingNeverCatchesUpInABurst) {
  // Frozen for 0.5 s at 50 fps, the camera has missed 25 periods; it must go
  // on at the rate asked, not hand out the missed frames at once.
  TempDir dir;
  RunOptions o;
  o.whileRunning = [](int pid) {
    usleep(300000);
    kill(pid, SIGSTOP);
    usleep(500000);
    kill(pid, SIGCONT);
  };
  RunResult r = RunOrdavi(
      {"-w", "4", "-n", "60", "-f", "50", "-q", "60", "-u", "0", "-x", dir / "l.csv", dir.path()},
      o);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> rows = LogRows(dir / "l.csv");
  ASSERT_EQ(rows.size(), 60u);
  // Frames that followed the one before within a tenth of a period: a burst
  // makes some 25, a busy machine's late wake-ups a few.
  int bunched = 0;
  for (size_t i = 1; i < rows.size(); i++)
    if (std::stod(Fields(rows[i])[5]) - std::stod(Fields(rows[i - 1])[5]) < 2.0) bunched++;
  EXPECT_LE(bunched, 8) << ReadFile(dir / "l.csv");
}

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
