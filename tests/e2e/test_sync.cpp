// End-to-end: the driver and the synchronous engine's own output - messages,
// parameter string, sizes, names and directories, the timing log - on real
// files. What every engine shares is in test_engines.cpp.
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Names = std::vector<std::string>;

TEST(SyncEngine, OutputAndTimingLog) {
  TempDir dir;
  RunResult w = RunOk({"-w", "100", "-n", "3", "-u", "0", dir.path()});
  EXPECT_EQ(w.out.rfind("Ordavi 4.23 for Linux\n", 0), 0u);
  for (const char* line :
       {"Writing frames (sync, rate: 0, queue: 0)\n", "\n  Overall frame rate .... ",
        "  Average create time .... ", "  Average write time ..... ", "  Longest close time .... "})
    EXPECT_TRUE(Contains(w.out, line)) << line;
  EXPECT_FALSE(Contains(w.out, "dropped"));

  RunResult r = RunOk({"-n", "3", "-u", "0", "-x", dir / "log.csv", dir.path() + "/"});
  for (const char* line : {"Reading frames (sync, rate: 0, queue: 0, prebuf: -1)\n",
                           "  Average open time ...... ", "Writing log file...\n"})
    EXPECT_TRUE(Contains(r.out, line)) << line;
  const std::string csv = ReadFile(dir / "log.csv");
  EXPECT_TRUE(Contains(csv, "TestPath,\"" + dir.path() + "/\"\nParameters,\" -r -z100 -n3 \"\n"));
  EXPECT_TRUE(Contains(csv, "\n,file,open,io,close\nmin,"));
  std::vector<std::string> rows = LogRows(dir / "log.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].rfind("2,", 0), 0u);
  EXPECT_EQ(Fields(rows[2]).size(), 5u);

  // Paced: the queue lines and the paced form of the log.
  RunResult p = RunOk({"-n", "3", "-f", "100", "-u", "0", "-x", dir / "p.csv", dir.path()});
  EXPECT_TRUE(Contains(p.out, "  Number of dropped frames: "));
  EXPECT_TRUE(Contains(p.out, "  Average empty buffers .. "));
  EXPECT_TRUE(Contains(ReadFile(dir / "p.csv"), "\nnum,start,open,io,close,frametime,queue\n"));
}

TEST(SyncEngine, SizesHeadersAndStreamSlices) {
  TempDir dir, c;
  RunOk({"-w", "sd", "-n", "1", "-u", "0", dir.path()});
  EXPECT_EQ(FileSizeOf(dir / "frame000000.tst"), 1449984);  // + 64 KB header, rounded up
  RunOk({"-w", "sd", "--header=0", "-n", "1", "-u", "0", dir.path()});
  EXPECT_EQ(FileSizeOf(dir / "frame000000.tst"), 1449984);  // overwritten, not truncated
  RunOk({"-w", "sd", "-s", "-n", "2", "-u", "0", dir / "stream"});
  EXPECT_EQ(FileSizeOf(dir / "stream"), 2 * 1384448);  // no header in a stream
  // -e: files only created and closed.
  RunResult e = RunOk({"-e", "-n", "2", "-u", "0", dir.path()});
  EXPECT_EQ(FileSizeOf(dir / "frame000001.tst"), 0);
  EXPECT_TRUE(Contains(e.out, "  Average write time ..... 0.0 ms\n"));

  // 409600 bytes in three I/Os; the read crops and splits.
  RunOk({"-w", "400", "-i", "3", "-n", "1", "-u", "0", c.path()});
  EXPECT_TRUE(AllBytesAre(c / "frame000000.tst", 0x73));
  RunOk({"-n", "1", "-c", "50", "-i", "2", "-u", "0", "-x", dir / "c.csv", c.path()});
  EXPECT_TRUE(Contains(ReadFile(dir / "c.csv"), "Parameters,\" -r -z400 -n1 -i2 -c50 \"\n"));

  // In a stream no file is opened or closed per frame: open = start, close = io.
  RunOk({"-z", "64", "-s", "-n", "2", "-u", "0", "-x", dir / "s.csv", dir / "stream"});
  for (auto& row : LogRows(dir / "s.csv")) {
    std::vector<std::string> f = Fields(row);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[1], f[2]);
    EXPECT_EQ(f[3], f[4]);
  }
}

TEST(SyncEngine, NamesDirectoriesAndOrder) {
  TempDir dir, loop;
  RunOk({"-w", "4", "-n", "5", "-d", "2", "-v", "-u", "0", dir.path()});
  EXPECT_EQ(ListDir(dir.path()), (Names{"part00", "part01", "part02"}));
  // Directories follow the position: part00 holds the first two handled.
  EXPECT_EQ(ListDir(dir / "part00"), (Names{"frame000003.tst", "frame000004.tst"}));
  EXPECT_EQ(ListDir(dir / "part02"), Names{"frame000000.tst"});
  RunOk({"-w", "4", "-n", "10", "-l", "3", "--name=shot_000100.dpx", "-u", "0", loop.path()});
  EXPECT_EQ(ListDir(loop.path()), (Names{"shot_000100.dpx", "shot_000101.dpx", "shot_000102.dpx"}));
}

TEST(SyncEngine, UsageAndFatalErrors) {
  TempDir dir;
  // Command line, exit status, and stderr: all of it or (`whole` false) a part.
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
    bool whole;
  } cases[] = {
      {{"-n", "0", dir.path()},
       1,
       "Number of frames is out of range, can be from 1 to 2000000000\n"
       "Usage: ordavi [options] <path|file>\n",
       false},
      {{"-n", "3", dir / "missing"},
       1,
       "Cannot get size of file \"" + dir.path() +
           "/missing/frame000000.tst\"\n***FATAL*** Error 2: No such file or directory\n",
       true},
      {{"-s", "-n", "4", dir / "s"},
       1,
       "Frame size must be specified (-z) when performing a streaming test\n"
       "***FATAL*** Error 0: Success\n",
       true},
      {{"-w", "4", "-n", "1", dir / std::string(250, 'p')}, 1, "Path is too long", false},
      // The log is created before the run: nothing is measured in vain.
      {{"-w", "4", "-n", "1", "-u", "0", "-x", dir / "no/such.csv", dir.path()},
       1,
       "Could not create log file: No such file or directory\n",
       true},
  };
  for (const auto& c : cases) {
    RunResult r = RunOrdavi(c.args);
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_TRUE(c.whole ? r.err == c.err : Contains(r.err, c.err)) << r.err;
  }
  EXPECT_TRUE(ListDir(dir.path()).empty());  // nothing touched
}

}  // namespace
