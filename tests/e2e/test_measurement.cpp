// End-to-end: the figures themselves. Each test holds a run at a known point
// (a frame file that is a FIFO blocks its open until the test opens the other
// end; SIGSTOP freezes the whole process) and checks what was measured:
// dropped frames are counted, the pacing grid never catches up in a burst,
// out-of-order frames become visible only in order, and a cropped read
// transfers the middle of the frame.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// Opens the far end of the FIFO `path` after `ms` milliseconds, so that the
// run's open of it returns; the transfer on it then fails (no seeking on a
// FIFO) and the run stops there.
struct FifoFrame {
  FifoFrame(const std::string& dir, const char* name) : path(dir + "/" + name) {
    EXPECT_EQ(mkfifo(path.c_str(), 0666), 0);
  }
  ~FifoFrame() {
    if (fd >= 0) close(fd);
  }
  // (A writer's open fails until the run has come to its read's open: it is
  // retried for a while.)
  std::function<void(int)> OpenAfter(int ms, int flags) {
    return [this, ms, flags](int) {
      usleep(useconds_t(ms) * 1000);
      for (int i = 0; i < 500 && fd < 0; i++)
        if ((fd = open(path.c_str(), flags | O_NONBLOCK)) < 0) usleep(10000);
    };
  }
  std::string path;
  int fd = -1;
};

TEST(Measurement, DroppedFramesAreCounted) {
  // The engine is held in the open of frame 3 until 1 s after the start, at
  // 100 fps with a queue of two: the camera (write) or display (read) misses
  // frames (dozens, unless the machine is slow to get there).
  for (bool write : {true, false}) {
    SCOPED_TRACE(write ? "capture" : "playback");
    TempDir dir;
    if (!write) {
      RunOk({"-w", "4", "-n", "3", "-u", "0", dir.path()});
    }
    FifoFrame fifo(dir.path(), "frame000003.tst");
    std::vector<std::string> args = {"-B", "-n", "20", "-f", "100", "-q",          "2",
                                     "-b", "1",  "-u", "0",  "-x",  dir / "l.csv", dir.path()};
    if (write) {
      args.insert(args.begin(), {"-w", "4"});
    }
    RunOptions o;
    o.whileRunning = fifo.OpenAfter(1000, write ? O_RDONLY : O_WRONLY);
    RunResult r = RunOrdavi(args, o);
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("  Number of dropped frames: (\\d+)\n")))
        << r.out;
    EXPECT_GT(std::stoi(m[1]), 0);
    EXPECT_TRUE(Contains(ReadFile(dir / "l.csv"), "\nDroppedFrames," + m[1].str() + "\n"));
  }
}

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
  // Frame 2 hangs in its open for 2.5 s while the other workers write every
  // later frame: until it is done, no screen may count more than two frames.
  TempDir dir;
  FifoFrame fifo(dir.path(), "frame000002.tst");
  RunOptions o;
  o.whileRunning = fifo.OpenAfter(2500, O_RDONLY);
  RunResult r = RunOrdavi({"-t", "3", "-o", "-B", "-w", "4", "-n", "10", "-u", "1", dir.path()}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::regex shown("Frames transferred:   (\\d+) \\(");
  for (std::sregex_iterator m(r.out.begin(), r.out.end(), shown), end; m != end; ++m) {
    const int n = std::stoi((*m)[1]);
    EXPECT_TRUE(n <= 2 || n == 10) << n << " frames shown\n" << r.out;
  }
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
