// End-to-end: the synchronous engines on real files.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The frame rows of a timing log (the lines after the "num," header).
std::vector<std::string> FrameRows(const std::string& csv) {
  std::vector<std::string> lines = SplitLines(csv), rows;
  bool in = false;
  for (auto& l : lines) {
    if (in) rows.push_back(l);
    if (l.rfind("num,", 0) == 0) in = true;
  }
  return rows;
}

int Fields(const std::string& row) { return CountOf(row, ",") + 1; }

TEST(SyncEngine, WriteThenReadFrameFiles) {
  TempDir dir;
  RunResult w = RunOrdavi({"-w", "100", "-n", "5", "-u", "0", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.err, "");
  EXPECT_EQ(w.out.rfind("Ordavi 4.23 for Linux\n", 0), 0u);
  EXPECT_TRUE(Has(w.out, "Writing frames (sync, rate: 0, queue: 0)\n"));
  EXPECT_TRUE(Has(w.out, "\n  Overall frame rate .... "));
  EXPECT_TRUE(Has(w.out, "  Average create time .... "));
  EXPECT_TRUE(Has(w.out, "  Longest close time .... "));
  EXPECT_FALSE(Has(w.out, "dropped"));
  std::vector<std::string> expected;
  for (int i = 0; i < 5; i++) {
    char name[32];
    snprintf(name, sizeof name, "frame%06d.tst", i);
    expected.push_back(name);
    EXPECT_EQ(FileSizeOf(dir / name), 102400);
    EXPECT_TRUE(AllBytesAre(dir / name, 0x73)) << name;
  }
  EXPECT_EQ(ListDir(dir.path()), expected);

  RunResult r = RunOrdavi({"-n", "5", "-u", "0", "-x", dir / "log.csv", dir.path() + "/"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Has(r.out, "Reading frames (sync, rate: 0, queue: 0, prebuf: -1)\n"));
  EXPECT_TRUE(Has(r.out, "  Average open time ...... "));
  EXPECT_TRUE(Has(r.out, "Writing log file...\n"));
  std::string csv = ReadFile(dir / "log.csv");
  EXPECT_TRUE(Has(csv, "TestPath,\"" + dir.path() + "/\"\n"));
  EXPECT_TRUE(Has(csv, "Parameters,\" -r -z100 -n5 \"\n"));
  EXPECT_TRUE(Has(csv, "\n,file,open,io,close\nmin,"));
  std::vector<std::string> rows = FrameRows(csv);
  ASSERT_EQ(rows.size(), 5u);
  for (size_t i = 0; i < rows.size(); i++) {
    EXPECT_EQ(rows[i].rfind(std::to_string(i) + ",", 0), 0u);
    EXPECT_EQ(Fields(rows[i]), 5);
  }
}

TEST(SyncEngine, PresetFramesCarryTheHeaderUnlessStreaming) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "sd", "-n", "1", "-u", "0", dir.path()}).status, 0);
  // 1382400 + 65536 rounded up to 4096.
  EXPECT_EQ(FileSizeOf(dir / "frame000000.tst"), 1449984);
  ASSERT_EQ(RunOrdavi({"-w", "sd", "--header=0", "-n", "1", "-u", "0", dir.path()}).status, 0);
  // Not truncated: a shorter frame overwrites the start of the old file.
  EXPECT_EQ(FileSizeOf(dir / "frame000000.tst"), 1449984);
  ASSERT_EQ(RunOrdavi({"-w", "sd", "-s", "-n", "2", "-u", "0", dir / "stream"}).status, 0);
  EXPECT_EQ(FileSizeOf(dir / "stream"), 2 * 1384448);
}

TEST(SyncEngine, StreamModeWriteAndRead) {
  TempDir dir;
  RunResult w = RunOrdavi({"-w", "64", "-s", "-n", "4", "-v", "-u", "0", dir / "s.bin"});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(FileSizeOf(dir / "s.bin"), 4 * 65536);
  EXPECT_TRUE(AllBytesAre(dir / "s.bin", 0x73));
  EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"s.bin"});

  RunResult r = RunOrdavi(
      {"-z", "64", "-s", "-n", "8", "-l", "4", "-u", "0", "-x", dir / "s.csv", dir / "s.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string csv = ReadFile(dir / "s.csv");
  EXPECT_TRUE(Has(csv, "Parameters,\" -r -z64 -n8 -s -l4 \"\n"));
  // No file is opened or closed per frame: open = start and close = io.
  for (auto& row : FrameRows(csv)) {
    std::vector<std::string> f;
    size_t p = 0, q;
    while ((q = row.find(',', p)) != std::string::npos) {
      f.push_back(row.substr(p, q - p));
      p = q + 1;
    }
    f.push_back(row.substr(p));
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[1], f[2]);
    EXPECT_EQ(f[3], f[4]);
  }

  RunResult bad = RunOrdavi({"-s", "-n", "4", dir / "s.bin"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(Has(bad.err,
                  "Frame size must be specified (-z) when performing a streaming test\n"
                  "***FATAL*** Error 0: Success\n"));
  bad = RunOrdavi({"-s", "-e", dir / "s.bin"});
  EXPECT_TRUE(Has(bad.err, "Frame size must be specified (-w) when"));
}

TEST(SyncEngine, OrderLoopNamesAndDirectories) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "5", "-d", "2", "-u", "0", dir.path()}).status, 0);
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"part00", "part01", "part02"}));
  EXPECT_EQ(ListDir(dir / "part00"),
            (std::vector<std::string>{"frame000000.tst", "frame000001.tst"}));
  EXPECT_EQ(ListDir(dir / "part02"), std::vector<std::string>{"frame000004.tst"});

  TempDir rev;  // reverse order: position 0 (part00) gets the last frame
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "3", "-d", "2", "-v", "-u", "0", rev.path()}).status, 0);
  EXPECT_EQ(ListDir(rev / "part00"),
            (std::vector<std::string>{"frame000001.tst", "frame000002.tst"}));
  EXPECT_EQ(ListDir(rev / "part01"), std::vector<std::string>{"frame000000.tst"});

  TempDir loop;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "10", "-l", "3", "-u", "0", loop.path()}).status, 0);
  EXPECT_EQ(ListDir(loop.path()).size(), 3u);

  TempDir rnd;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "6", "-m", "-u", "0", rnd.path()}).status, 0);
  EXPECT_EQ(ListDir(rnd.path()).size(), 6u);
  RunResult rr = RunOrdavi({"-n", "6", "-m", "-u", "0", rnd.path()});
  EXPECT_EQ(rr.status, 0);
  EXPECT_EQ(rr.err, "");

  TempDir named;
  ASSERT_EQ(
      RunOrdavi({"-w", "4", "-n", "3", "--name=shot_000100.dpx", "-u", "0", named.path()}).status,
      0);
  EXPECT_EQ(ListDir(named.path()),
            (std::vector<std::string>{"shot_000100.dpx", "shot_000101.dpx", "shot_000102.dpx"}));
}

TEST(SyncEngine, SplitCropAndEmptyFrames) {
  TempDir dir;
  // 409600 bytes in three I/Os of 139264, 139264 and 131072 bytes.
  RunResult w = RunOrdavi({"-w", "400", "-i", "3", "-n", "2", "-u", "0", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(FileSizeOf(dir / "frame000001.tst"), 409600);
  EXPECT_TRUE(AllBytesAre(dir / "frame000001.tst", 0x73));

  RunResult r =
      RunOrdavi({"-n", "2", "-c", "50", "-i", "2", "-u", "0", "-x", dir / "c.csv", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(ReadFile(dir / "c.csv"), "Parameters,\" -r -z400 -n2 -i2 -c50 \"\n"));

  TempDir empty;
  RunResult e = RunOrdavi({"-e", "-n", "3", "-u", "0", empty.path()});
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_EQ(ListDir(empty.path()).size(), 3u);
  EXPECT_EQ(FileSizeOf(empty / "frame000002.tst"), 0);
  EXPECT_TRUE(Has(e.out, "  Average write time ..... 0.0 ms\n"));
}

TEST(SyncEngine, EndOfSequenceLoopsOverExistingFrames) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "4", "-u", "0", dir.path()}).status, 0);
  RunResult r = RunOrdavi({"-n", "10", "-u", "0", "-x", dir / "l.csv", dir.path()});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(FrameRows(ReadFile(dir / "l.csv")).size(), 10u);

  // Random order does not take a missing file for the end of the sequence.
  RunResult m = RunOrdavi({"-n", "10", "-m", "-u", "0", dir.path()});
  EXPECT_EQ(m.status, 0);
  EXPECT_TRUE(Has(m.err, "Cannot open file \"" + dir.path() + "/frame0000"));
  EXPECT_TRUE(Has(m.err, "\nError 2: No such file or directory\n"));
  EXPECT_TRUE(Has(m.out, "  Overall frame rate"));

  // A file that exists but cannot be opened is reported, never looped over.
  ASSERT_EQ(symlink("frame000004.tst", (dir / "frame000004.tst").c_str()), 0);
  RunResult s = RunOrdavi({"-n", "10", "-u", "0", "-x", dir / "s.csv", dir.path()});
  EXPECT_EQ(s.status, 0);
  EXPECT_TRUE(Has(s.err, "Cannot open file \"" + dir.path() + "/frame000004.tst\"\nError 40: "));
  EXPECT_EQ(FrameRows(ReadFile(dir / "s.csv")).size(), 4u);
}

TEST(SyncEngine, ErrorsInsideTheTestStillSummarise) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "frame000002.tst").c_str(), 0700), 0);
  RunResult w = RunOrdavi({"-w", "4", "-n", "5", "-u", "0", "-x", dir / "w.csv", dir.path()});
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.err, "Cannot create file \"" + dir.path() +
                       "/frame000002.tst\"\nError 21: Is a directory\n");
  EXPECT_TRUE(Has(w.out, "  Overall frame rate"));
  EXPECT_EQ(FrameRows(ReadFile(dir / "w.csv")).size(), 2u);

  RunResult log =
      RunOrdavi({"-w", "4", "-n", "1", "-u", "0", "-x", dir / "no/such.csv", dir / "ok"});
  EXPECT_EQ(log.status, 0);
  EXPECT_TRUE(Has(log.err, "Could not create log file: No such file or directory"));
  EXPECT_FALSE(Has(log.out, "Writing log file"));
}

TEST(SyncEngine, UsageAndFatalErrorsExitWithOne) {
  TempDir dir;
  RunResult u = RunOrdavi({"-n", "0", dir.path()});
  EXPECT_EQ(u.status, 1);
  EXPECT_TRUE(Has(u.err,
                  "Number of frames is out of range, can be from 1 to 2000000000\n"
                  "Usage: ordavi [options] <path|file>\n"));
  EXPECT_EQ(ListDir(dir.path()).size(), 0u);  // nothing touched

  RunResult f = RunOrdavi({"-n", "3", dir / "missing"});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.err, "Cannot get size of file \"" + dir.path() +
                       "/missing/frame000000.tst\"\n***FATAL*** Error 2: No such file or "
                       "directory\n");

  std::string longPath = dir.path() + "/" + std::string(250, 'p');
  RunResult l = RunOrdavi({"-w", "4", "-n", "1", longPath});
  EXPECT_EQ(l.status, 1);
  EXPECT_TRUE(Has(l.err, "Path is too long"));

  RunResult a = RunOrdavi({"-w", "4", "-n", "1", "-a", "2", "-u", "0", dir.path()});
  RunResult t = RunOrdavi({"-w", "4", "-n", "1", "-t", "2", "-u", "0", dir.path()});
  // Until an engine exists, choosing it fails clearly; once it exists, it runs.
  for (auto* run : {&a, &t}) {
    if (run->status != 0) {
      EXPECT_EQ(run->status, 1);
      EXPECT_TRUE(Has(run->err, "not available"));
    }
  }
}

TEST(SyncEngine, PacedWriteAndRead) {
  TempDir dir;
  RunResult w =
      RunOrdavi({"-w", "4", "-n", "20", "-f", "100", "-u", "0", "-x", dir / "w.csv", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_TRUE(Has(w.out, "Writing frames (sync, rate: 100, queue: 100)\n"));
  EXPECT_TRUE(Has(w.out, "  Number of dropped frames: "));
  EXPECT_TRUE(Has(w.out, "  Average queue usage .... "));
  EXPECT_TRUE(Has(w.out, "  Highest queue usage .... "));
  std::string csv = ReadFile(dir / "w.csv");
  EXPECT_TRUE(Has(csv, "\n,file,open,io,close,queue\nmin,"));
  std::vector<std::string> rows = FrameRows(csv);
  ASSERT_EQ(rows.size(), 20u);
  for (auto& row : rows) EXPECT_EQ(Fields(row), 7) << row;
  EXPECT_FALSE(SemaphoreLeft(w.pid));

  RunResult r = RunOrdavi(
      {"-n", "20", "-f", "100", "-q", "6", "-b", "2", "-u", "0", "-x", dir / "r.csv", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "Reading frames (sync, rate: 100, queue: 6, prebuf: 2)\n"));
  EXPECT_TRUE(Has(r.out, "  Average empty buffers .. "));
  rows = FrameRows(ReadFile(dir / "r.csv"));
  ASSERT_EQ(rows.size(), 20u);
  // Every frame was shown by the playback thread: its frametime is set.
  for (auto& row : rows) EXPECT_EQ(row.find(",-"), std::string::npos) << row;
  EXPECT_FALSE(SemaphoreLeft(r.pid));
}

TEST(SyncEngine, PacedReadEndingBeforePlaybackStarted) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "3", "-u", "0", dir.path()}).status, 0);
  // Three frames never reach the pre-buffer count of 5: the run must not
  // hang, and the frames that were released are still shown.
  RunResult r = RunOrdavi(
      {"-n", "3", "-f", "50", "-q", "10", "-u", "0", "-x", dir / "r.csv", dir.path()}, 20);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> rows = FrameRows(ReadFile(dir / "r.csv"));
  ASSERT_EQ(rows.size(), 3u);
  for (auto& row : rows) EXPECT_EQ(row.find(",-"), std::string::npos) << row;
}

TEST(SyncEngine, UserBreakEndsWithTheSummary) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "64", "-s", "-n", "4", "-u", "0", dir / "s"}).status, 0);
  struct Case {
    std::vector<std::string> args;
    size_t frames;
  } cases[] = {
      {{"-z", "64", "-s", "-n", "2000000", "-l", "4", "-u", "0", dir / "s"}, 2000000},
      {{"-z", "64", "-s", "-n", "2000", "-l", "4", "-f", "50", "-u", "0", dir / "s"}, 2000},
      {{"-w", "64", "-s", "-n", "2000", "-l", "4", "-f", "50", "-u", "0", dir / "s"}, 2000},
  };
  for (auto& c : cases) {
    c.args.push_back("-x");
    c.args.push_back(dir / "b.csv");
    RunResult r = RunOrdavi(c.args, 30, 700);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "User break, stopping\n"));
    EXPECT_TRUE(Has(r.out, "  Overall frame rate"));
    EXPECT_TRUE(Has(r.out, "Writing log file...\n"));
    EXPECT_EQ(r.err.find("nanosleep"), std::string::npos) << r.err;
    EXPECT_FALSE(SemaphoreLeft(r.pid));
    size_t rows = FrameRows(ReadFile(dir / "b.csv")).size();
    EXPECT_GT(rows, 0u);
    EXPECT_LT(rows, c.frames);
  }
}

}  // namespace
