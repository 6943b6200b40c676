// The asynchronous engines when things go wrong, provoked for real: missing
// and unopenable frame files, a transfer that fails, frames that come up
// short, a file-size limit, and the user's break. Whatever stops the main
// loop, every frame in flight is drained once, no frame is published twice,
// and the run ends with its summary and exit status 0; only failures while
// the ring is being filled end the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "test_async_support.h"

using namespace async_e2e;

namespace {

std::vector<std::string> Args(std::initializer_list<std::string> extra) {
  std::vector<std::string> args = {"--noinfo", "-u", "0"};
  args.insert(args.end(), extra);
  return args;
}

TEST(AsyncFaults, FillFailsFatallyWhenFewerFramesThanSlots) {
  // No end-of-sequence retry while filling: nothing has been measured yet.
  TempDir dir;
  MakeFrames(dir, 3, 8192);
  RunResult r = RunOrdavi(Args({"-n", "10", "-a", "5", dir.path()}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Cannot open file \"" + FramePath(dir, 3) + "\""), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("\n***FATAL*** Error 2: No such file or directory\n"), std::string::npos);
  EXPECT_EQ(r.out.find("Overall frame rate"), std::string::npos);
}

TEST(AsyncFaults, OpenFailureOtherThanAMissingFileIsReportedAtOnce) {
  // frame000005.tst is a symbolic link to itself (ELOOP). Taking that as the
  // end of the sequence would silently loop over frames 0-4 instead.
  TempDir dir;
  MakeFrames(dir, 8, 8192);
  unlink(FramePath(dir, 5).c_str());
  ASSERT_EQ(symlink(FramePath(dir, 5).c_str(), FramePath(dir, 5).c_str()), 0);
  std::string log = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-n", "8", "-a", "3", "--verbose", "-x", log, dir.path()}));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Cannot open file \"" + FramePath(dir, 5) + "\"\nError 40: "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("Overall frame rate"), std::string::npos);
  // Frames 3 and 4 were in flight and are drained; 0-4 are summarised.
  EXPECT_EQ(CountOf(r.out, "- waiting for final I/O"), 2);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 5), "");
}

TEST(AsyncFaults, FailedTransferStopsTheLoopAndIsDrainedOnce) {
  // With -B a directory opens fine as frame 5, and its read fails when the
  // operation runs: the wait reports it, the loop stops, and the drain
  // collects that slot and the two behind it, each once.
  TempDir dir;
  MakeFrames(dir, 10, 8192);
  unlink(FramePath(dir, 5).c_str());
  ASSERT_EQ(mkdir(FramePath(dir, 5).c_str(), 0700), 0);
  std::string log = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-B", "-n", "10", "-a", "3", "--verbose", "-x", log, dir.path()}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.rfind("An error occurred waiting for a file I/O to complete\nError ", 0), 0u)
      << r.err;
  EXPECT_EQ(r.err.find("Error 0:"), std::string::npos) << r.err;
  EXPECT_EQ(CountOf(r.err, "Error "), 1);  // errors during the drain stay quiet
  EXPECT_EQ(CountOf(r.out, "- waiting for final I/O"), 3);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 8), "");
}

TEST(AsyncFaults, ShortReadStopsTheLoopAndThatSlotIsNotDrainedAgain) {
  TempDir dir;
  MakeFrames(dir, 10, 40960);
  WriteFileOfSize(FramePath(dir, 6), 32768);
  std::string log = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-n", "10", "-a", "3", "--verbose", "-x", log, dir.path()}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Only 32768 of 40960 bytes were read\nError 0: Success\n");
  // Frame 6 is collected, closed and published where it failed; the drain
  // takes frames 7 and 8 only. The 9 frames queued are summarised.
  EXPECT_EQ(CountOf(r.out, "- waiting for final I/O"), 2);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 9), "");
}

TEST(AsyncFaults, CreateFailureInTheMainLoop) {
  // -d 5 puts frame 5 in part01, which is a plain file here (ENOTDIR).
  TempDir dir;
  WriteFileOfSize(dir / "part01", 10);
  std::string log = dir / "w.csv";
  RunResult r =
      RunOrdavi(Args({"-w", "16", "-n", "10", "-a", "3", "-d", "5", "-x", log, dir.path()}));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Cannot create file \"" + dir.path() +
                       "/part01/frame000005.tst\"\nError 20: Not a directory\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 5), "");
  for (int i = 0; i < 5; i++) {
    char name[64];
    snprintf(name, sizeof name, "part00/frame%06d.tst", i);
    EXPECT_EQ(FileSizeOf(dir / name), 16384) << name;
    EXPECT_TRUE(AllBytesAre(dir / name, 0x61)) << name;
  }
}

TEST(AsyncFaults, ShortWriteAtAFileSizeLimit) {
  // A file-size limit of 48 KB makes every 100 KB frame write come up short
  // (the process ignores SIGXFSZ, as ordavi inherits it here).
  TempDir dir;
  std::string log = dir / "w.csv";
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit limited = old;
  limited.rlim_cur = 49152;
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  RunResult r = RunOrdavi(Args({"-w", "100", "-n", "10", "-a", "3", "-x", log, dir.path()}));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Only 49152 of 102400 bytes were written\nError 28: No space left on device\n");
  EXPECT_NE(r.out.find("Overall frame rate"), std::string::npos);
  // Frame 0 fails at the first completion; frames 1 and 2 are drained.
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 3), "");
  EXPECT_EQ(FileSizeOf(FramePath(dir, 2)), 49152);
  EXPECT_FALSE(FileExists(FramePath(dir, 3)));
}

TEST(AsyncFaults, UserBreakInTheWriteLoopDrainsEveryIssuedFrame) {
  // A stream keeps the evidence in one file: every slice issued before the
  // break must be there, whole, when the run is over.
  TempDir dir;
  std::string stream = dir / "stream.bin";
  std::string log = dir / "w.csv";
  RunResult r =
      RunOrdavi(Args({"-s", "-w", "4", "-n", "1000000", "-a", "4", "--verbose", "-x", log, stream}),
                120, 700);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("User break, stopping"), std::string::npos);
  EXPECT_NE(r.out.find("Overall frame rate"), std::string::npos);
  EXPECT_EQ(r.err, "");
  int issued = CountOf(r.out, "- about to write file");
  ASSERT_GT(issued, 4);
  EXPECT_EQ(CountOf(r.out, "- Waiting for final I/O"), 4);
  // The frame issued last is drained and written but not summarised.
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), size_t(issued - 1)), "");
  EXPECT_EQ(FileSizeOf(stream), int64_t(issued) * 4096);
  EXPECT_TRUE(AllBytesAre(stream, 0x61));
}

TEST(AsyncFaults, UserBreakInTheReadLoopDrainsEveryIssuedFrame) {
  TempDir dir;
  MakeFrames(dir, 10, 4096);
  std::string log = dir / "r.csv";
  RunResult r =
      RunOrdavi(Args({"-n", "1000000", "-a", "4", "--verbose", "-x", log, dir.path()}), 120, 700);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("User break, stopping"), std::string::npos);
  EXPECT_NE(r.out.find("Overall frame rate"), std::string::npos);
  EXPECT_EQ(r.err, "");
  int issued = CountOf(r.out, "- about to open file");
  ASSERT_GT(issued, 4);
  EXPECT_EQ(CountOf(r.out, "- waiting for final I/O"), 4);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), size_t(issued - 1)), "");
}

}  // namespace
