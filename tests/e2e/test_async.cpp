// The asynchronous engines (-a) on real files: what they write, what they
// read back, the shape of the ring (in order, -o, one slot, more slots than
// frames), the frame orders, crop and pacing. Each test states the faulty
// outcome it guards against.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
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

// The per-frame file names that "- about to write file" / "- about to open
// file" trace lines name, in trace order.
std::vector<std::string> TracedFiles(const std::string& out, const std::string& what) {
  std::vector<std::string> names;
  for (const std::string& line : SplitLines(out)) {
    size_t p = line.find(what);
    if (p == std::string::npos) continue;
    size_t slash = line.rfind('/');
    names.push_back(line.substr(slash + 1));
  }
  return names;
}

TEST(AsyncEngine, FrameFilesWrittenThenReadBack) {
  // Guards against: slots that reuse a buffer not filled with 'a', frames
  // lost in the drain, records left incomplete.
  TempDir dir;
  std::string log = dir / "w.csv";
  RunResult w = RunOrdavi(Args({"-w", "100", "-n", "12", "-a", "4", "-x", log, dir.path()}));
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err, "");
  EXPECT_NE(w.out.find("Writing frames (async: 4, rate: 0, queue: 0)\n"), std::string::npos);
  EXPECT_NE(w.out.find("Overall frame rate"), std::string::npos);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 12), "");
  for (int i = 0; i < 12; i++) {
    EXPECT_EQ(FileSizeOf(FramePath(dir, i)), 102400) << i;
    EXPECT_TRUE(AllBytesAre(FramePath(dir, i), 0x61)) << i;
  }
  EXPECT_FALSE(FileExists(FramePath(dir, 12)));

  std::string rlog = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-n", "12", "-a", "4", "-x", rlog, dir.path()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("Reading frames (async: 4, rate: 0, queue: 0, prebuf: -1)\n"),
            std::string::npos);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(rlog), 12), "");
}

TEST(AsyncEngine, StreamWrittenThenReadBack) {
  // Guards against: 32-bit slice offsets, a stream descriptor closed per
  // frame, open/close times that are not zero in stream mode.
  TempDir dir;
  std::string stream = dir / "stream.bin";
  std::string log = dir / "w.csv";
  RunResult w = RunOrdavi(Args({"-s", "-w", "100", "-n", "12", "-a", "4", "-x", log, stream}));
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(FileSizeOf(stream), 12 * 102400);
  EXPECT_TRUE(AllBytesAre(stream, 0x61));
  std::vector<LogRow> rows = ReadLogRows(log);
  EXPECT_EQ(CheckCompleteRows(rows, 12), "");
  for (const LogRow& row : rows) {
    EXPECT_EQ(row.open, row.start) << row.num;
    EXPECT_EQ(row.close, row.io) << row.num;
  }

  std::string rlog = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-s", "-z", "100", "-n", "12", "-a", "4", "-x", rlog, stream}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(rlog), 12), "");

  // Reading one frame past the end of the stream comes up short.
  RunResult past = RunOrdavi(Args({"-s", "-z", "100", "-n", "13", "-a", "4", stream}));
  EXPECT_EQ(past.status, 0);
  EXPECT_NE(past.err.find("Only 0 of 102400 bytes were read"), std::string::npos) << past.err;
}

TEST(AsyncEngine, StreamSlicesBeyondFourGigabytes) {
  // In reverse order the first frame of 2600 frames of 2 MB goes to slice
  // 2599, past 2^32 bytes; a 32-bit offset product would wrap and land near
  // the start of the file. The run is cut short by a break: the one far
  // slice is what matters, and the file stays sparse.
  TempDir dir;
  std::string stream = dir / "big.bin";
  RunResult w =
      RunOrdavi(Args({"-s", "-w", "2048", "-n", "2600", "-v", "-a", "2", stream}), 120, 300);
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(FileSizeOf(stream), int64_t(2600) * 2048 * 1024);
}

TEST(AsyncEngine, SingleSlot) {
  // -a 1: every frame waits for the previous one, through the same ring.
  TempDir dir;
  RunResult w = RunOrdavi(Args({"-w", "8", "-n", "5", "-a", "1", "--verbose", dir.path()}));
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_NE(w.out.find("Writing frames (async: 1, rate: 0, queue: 0)\n"), std::string::npos);
  EXPECT_EQ(CountOf(w.out, "- waiting for I/O 0 to complete"), 4);
  EXPECT_EQ(CountOf(w.out, "- Waiting for final I/O 0"), 1);
  for (int i = 0; i < 5; i++) EXPECT_TRUE(AllBytesAre(FramePath(dir, i), 0x61)) << i;

  RunResult r = RunOrdavi(Args({"-n", "5", "-a", "1", "--verbose", dir.path()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountOf(r.out, "- waiting for I/O 0\n"), 4);
  EXPECT_EQ(CountOf(r.out, "- waiting for final I/O 0"), 1);
}

TEST(AsyncEngine, MoreSlotsThanFrames) {
  // The ring shrinks to the frame count: no main loop, the drain does all.
  TempDir dir;
  std::string log = dir / "w.csv";
  RunResult w =
      RunOrdavi(Args({"-w", "8", "-n", "5", "-a", "20", "--verbose", "-x", log, dir.path()}));
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_NE(w.out.find("Writing frames (async: 5, rate: 0, queue: 0)\n"), std::string::npos);
  EXPECT_EQ(CountOf(w.out, "to complete"), 0);
  EXPECT_EQ(CountOf(w.out, "- Waiting for final I/O"), 5);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 5), "");

  std::string rlog = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-n", "5", "-a", "20", "--verbose", "-x", rlog, dir.path()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Reading frames (async: 5,"), std::string::npos);
  EXPECT_EQ(CountOf(r.out, "- waiting for final I/O"), 5);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(rlog), 5), "");
}

TEST(AsyncEngine, OutOfOrderCompletion) {
  // -o: slots are reused as they finish; every frame still ends up whole on
  // disk and every record complete once the run is over.
  TempDir dir;
  std::string log = dir / "w.csv";
  RunResult w = RunOrdavi(
      Args({"-w", "64", "-n", "40", "-a", "8", "-o", "--verbose", "-x", log, dir.path()}));
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(CountOf(w.out, "- waiting for an I/O to complete"), 32);
  EXPECT_EQ(CountOf(w.out, "- waiting for I/O "), 0);
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 40), "");
  for (int i = 0; i < 40; i++) {
    EXPECT_EQ(FileSizeOf(FramePath(dir, i)), 65536) << i;
    EXPECT_TRUE(AllBytesAre(FramePath(dir, i), 0x61)) << i;
  }
  // A read test ignores -o and collects in order.
  RunResult r = RunOrdavi(Args({"-n", "40", "-a", "8", "-o", "--verbose", dir.path()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountOf(r.out, "- waiting for an I/O"), 0);
}

TEST(AsyncEngine, ReverseAndRandomOrder) {
  TempDir dir;
  RunResult w = RunOrdavi(Args({"-w", "8", "-n", "6", "-a", "3", "-v", "--verbose", dir.path()}));
  ASSERT_EQ(w.status, 0) << w.err;
  std::vector<std::string> names = TracedFiles(w.out, "- about to write file");
  ASSERT_EQ(names.size(), 6u);
  EXPECT_EQ(names.front(), "frame000005.tst");
  EXPECT_EQ(names.back(), "frame000000.tst");
  for (int i = 0; i < 6; i++) EXPECT_TRUE(AllBytesAre(FramePath(dir, i), 0x61)) << i;

  TempDir rnd;
  RunResult m = RunOrdavi(Args({"-w", "8", "-n", "6", "-a", "3", "-m", "--verbose", rnd.path()}));
  ASSERT_EQ(m.status, 0) << m.err;
  std::vector<std::string> drawn = TracedFiles(m.out, "- about to write file");
  std::set<std::string> distinct(drawn.begin(), drawn.end());
  EXPECT_EQ(drawn.size(), 6u);
  EXPECT_EQ(distinct.size(), 6u);
  EXPECT_EQ(ListDir(rnd.path()).size(), 6u);

  RunResult rv = RunOrdavi(Args({"-n", "6", "-a", "3", "-v", "--verbose", dir.path()}));
  ASSERT_EQ(rv.status, 0) << rv.err;
  EXPECT_EQ(TracedFiles(rv.out, "- about to open file").front(), "frame000005.tst");
  RunResult rm = RunOrdavi(Args({"-n", "6", "-a", "3", "-m", dir.path()}));
  EXPECT_EQ(rm.status, 0) << rm.err;
  EXPECT_EQ(rm.err, "");
}

TEST(AsyncEngine, CropReadsTheMiddleOfEachFrame) {
  // 40960-byte frames, -c 50: each read moves 20480 bytes from offset 8192.
  // A frame file that ends at 32768 holds the whole cropped part; one that
  // ends at 24576 holds only 16384 bytes of it. A read at the wrong offset
  // or of the wrong size would report other counts.
  TempDir dir;
  MakeFrames(dir, 6, 40960);
  WriteFileOfSize(FramePath(dir, 5), 32768);
  RunResult ok = RunOrdavi(Args({"-n", "6", "-a", "2", "-c", "50", dir.path()}));
  ASSERT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.err, "");

  WriteFileOfSize(FramePath(dir, 5), 24576);
  RunResult shortRead = RunOrdavi(Args({"-n", "6", "-a", "2", "-c", "50", dir.path()}));
  EXPECT_EQ(shortRead.status, 0);
  EXPECT_NE(shortRead.err.find("Only 16384 of 20480 bytes were read"), std::string::npos)
      << shortRead.err;

  // Without crop the 32768-byte frame is short of the whole 40960.
  WriteFileOfSize(FramePath(dir, 5), 32768);
  RunResult whole = RunOrdavi(Args({"-n", "6", "-a", "2", dir.path()}));
  EXPECT_NE(whole.err.find("Only 32768 of 40960 bytes were read"), std::string::npos) << whole.err;
}

TEST(AsyncEngine, PacedWriteAndRead) {
  // Every frame is taken from the capture thread and handed to the playback
  // thread; no semaphore is left behind.
  TempDir dir;
  std::string log = dir / "w.csv";
  RunResult w =
      RunOrdavi(Args({"-w", "16", "-n", "12", "-a", "3", "-f", "50", "-x", log, dir.path()}));
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_NE(w.out.find("Writing frames (async: 3, rate: 50, queue: 50)\n"), std::string::npos);
  EXPECT_NE(w.out.find("Number of dropped frames"), std::string::npos);
  EXPECT_FALSE(SemaphoreLeft(w.pid));
  std::vector<LogRow> rows = ReadLogRows(log);
  EXPECT_EQ(CheckCompleteRows(rows, 12), "");
  for (const LogRow& row : rows) {
    EXPECT_TRUE(row.paced);
    EXPECT_GT(row.frameTime, 0) << row.num;
  }
  for (int i = 0; i < 12; i++) EXPECT_TRUE(AllBytesAre(FramePath(dir, i), 0x61)) << i;

  std::string rlog = dir / "r.csv";
  RunResult r = RunOrdavi(
      Args({"-n", "12", "-a", "3", "-f", "50", "-b", "4", "--verbose", "-x", rlog, dir.path()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Reading frames (async: 3, rate: 50, queue: 50, prebuf: 4)\n"),
            std::string::npos);
  EXPECT_EQ(CountOf(r.out, "- Starting PLAYBACK thread"), 1);
  EXPECT_FALSE(SemaphoreLeft(r.pid));
  rows = ReadLogRows(rlog);
  EXPECT_EQ(CheckCompleteRows(rows, 12), "");
  for (const LogRow& row : rows) EXPECT_GT(row.frameTime, 0) << row.num;  // all shown
}

TEST(AsyncEngine, PacedReadShorterThanThePreBuffer) {
  // Playback is never let go by the pre-buffer rule: the run must still
  // end, and every frame read must still be shown.
  TempDir dir;
  MakeFrames(dir, 3, 8192);
  std::string log = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-n", "3", "-a", "2", "-f", "50", "-x", log, dir.path()}), 30);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<LogRow> rows = ReadLogRows(log);
  EXPECT_EQ(CheckCompleteRows(rows, 3), "");
  for (const LogRow& row : rows) EXPECT_GT(row.frameTime, 0) << row.num;
}

TEST(AsyncEngine, PacedReadWhoseDrainFillsTheQueue) {
  // Queue of 3, pre-buffer 2, 8 slots and 10 frames: the main loop hands
  // over only 2 frames, too few to start playback; the drain hands over 8
  // more. Without the pre-buffer rule in the drain it would spin forever on
  // a full queue that nobody empties.
  TempDir dir;
  MakeFrames(dir, 10, 8192);
  std::string log = dir / "r.csv";
  RunResult r = RunOrdavi(
      Args({"-n", "10", "-a", "8", "-f", "50", "-q", "3", "-b", "2", "-x", log, dir.path()}), 30);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<LogRow> rows = ReadLogRows(log);
  EXPECT_EQ(CheckCompleteRows(rows, 10), "");
  for (const LogRow& row : rows) EXPECT_GT(row.frameTime, 0) << row.num;
}

TEST(AsyncEngine, EmptyFrames) {
  // -e: zero-byte frames are created and closed through a valid zero-byte
  // transfer; nothing is refused and nothing is written.
  TempDir dir;
  std::string log = dir / "w.csv";
  RunResult w = RunOrdavi(Args({"-e", "-n", "10", "-a", "4", "-x", log, dir.path()}));
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err, "");
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 10), "");
  for (int i = 0; i < 10; i++) EXPECT_EQ(FileSizeOf(FramePath(dir, i)), 0) << i;
}

TEST(AsyncEngine, EndOfSequenceLoopsFromTheMainLoopOn) {
  // 5 frames on disk, 12 asked for with 3 slots: frame 5 is opened in the
  // main loop, finds no file, and the run loops over the 5 that exist.
  TempDir dir;
  MakeFrames(dir, 5, 8192);
  std::string log = dir / "r.csv";
  RunResult r = RunOrdavi(Args({"-n", "12", "-a", "3", "--verbose", "-x", log, dir.path()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(CheckCompleteRows(ReadLogRows(log), 12), "");
  std::vector<std::string> names = TracedFiles(r.out, "- about to open file");
  ASSERT_EQ(names.size(), 12u);
  EXPECT_EQ(names[5], "frame000005.tst");
  EXPECT_NE(r.out.find("- about to open file 6: " + dir.path() + "/frame000001.tst"),
            std::string::npos);
}

}  // namespace
