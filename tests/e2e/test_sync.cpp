// End-to-end: the driver and the synchronous engine's own output - messages,
// parameter string, sizes, names and directories, the timing log - on real
// files. What every engine shares is in test_engines.cpp.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SyncEngine, OutputAndTimingLog) {
  TempDir dir;
  RunResult w = RunOrdavi({"-w", "100", "-n", "3", "-u", "0", dir.path()});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.out.rfind("Ordavi 4.23 for Linux\n", 0), 0u);
  for (const char* line :
       {"Writing frames (sync, rate: 0, queue: 0)\n", "\n  Overall frame rate .... ",
        "  Average create time .... ", "  Average write time ..... ", "  Longest close time .... "})
    EXPECT_TRUE(Has(w.out, line)) << line;
  EXPECT_FALSE(Has(w.out, "dropped"));

  RunResult r = RunOrdavi({"-n", "3", "-u", "0", "-x", dir / "log.csv", dir.path() + "/"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "Reading frames (sync, rate: 0, queue: 0, prebuf: -1)\n"));
  EXPECT_TRUE(Has(r.out, "  Average open time ...... "));
  EXPECT_TRUE(Has(r.out, "Writing log file...\n"));
  std::string csv = ReadFile(dir / "log.csv");
  EXPECT_TRUE(Has(csv, "TestPath,\"" + dir.path() + "/\"\nParameters,\" -r -z100 -n3 \"\n"));
  EXPECT_TRUE(Has(csv, "\n,file,open,io,close\nmin,"));
  std::vector<std::string> rows = LogRows(dir / "log.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].rfind("2,", 0), 0u);
  EXPECT_EQ(CountOf(rows[2], ","), 4);

  // Paced: the queue lines and the paced form of the log.
  RunResult p = RunOrdavi({"-n", "3", "-f", "100", "-u", "0", "-x", dir / "p.csv", dir.path()});
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_TRUE(Has(p.out, "  Number of dropped frames: "));
  EXPECT_TRUE(Has(p.out, "  Average empty buffers .. "));
  EXPECT_TRUE(Has(ReadFile(dir / "p.csv"), "\nnum,start,open,io,close,frametime,queue\n"));
}

TEST(SyncEngine, SizesHeadersAndStreamSlices) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "sd", "-n", "1", "-u", "0", dir.path()}).status, 0);
  EXPECT_EQ(FileSizeOf(dir / "frame000000.tst"), 1449984);  // + 64 KB header, rounded up
  ASSERT_EQ(RunOrdavi({"-w", "sd", "--header=0", "-n", "1", "-u", "0", dir.path()}).status, 0);
  EXPECT_EQ(FileSizeOf(dir / "frame000000.tst"), 1449984);  // overwritten, not truncated
  ASSERT_EQ(RunOrdavi({"-w", "sd", "-s", "-n", "2", "-u", "0", dir / "stream"}).status, 0);
  EXPECT_EQ(FileSizeOf(dir / "stream"), 2 * 1384448);  // no header in a stream

  // 409600 bytes in three I/Os; the read crops and splits.
  ASSERT_EQ(mkdir((dir / "c").c_str(), 0755), 0);
  ASSERT_EQ(RunOrdavi({"-w", "400", "-i", "3", "-n", "1", "-u", "0", dir / "c"}).status, 0);
  EXPECT_TRUE(AllBytesAre(dir / "c/frame000000.tst", 0x73));
  ASSERT_EQ(RunOrdavi({"-n", "1", "-c", "50", "-i", "2", "-u", "0", "-x", dir / "c.csv", dir / "c"})
                .status,
            0);
  EXPECT_TRUE(Has(ReadFile(dir / "c.csv"), "Parameters,\" -r -z400 -n1 -i2 -c50 \"\n"));

  // In a stream no file is opened or closed per frame: open = start, close = io.
  ASSERT_EQ(RunOrdavi({"-z", "64", "-s", "-n", "2", "-u", "0", "-x", dir / "s.csv", dir / "stream"})
                .status,
            0);
  for (auto& row : LogRows(dir / "s.csv")) {
    std::vector<std::string> f;
    size_t p = 0, q;
    while ((q = row.find(',', p)) != std::string::npos)
      f.push_back(row.substr(p, q - p)), p = q + 1;
    f.push_back(row.substr(p));
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[1], f[2]);
    EXPECT_EQ(f[3], f[4]);
  }

  TempDir empty;  // -e: files only created and closed
  RunResult e = RunOrdavi({"-e", "-n", "2", "-u", "0", empty.path()});
  ASSERT_EQ(e.status, 0) << e.err;
  EXPECT_EQ(FileSizeOf(empty / "frame000001.tst"), 0);
  EXPECT_TRUE(Has(e.out, "  Average write time ..... 0.0 ms\n"));
}

TEST(SyncEngine, NamesDirectoriesAndOrder) {
  TempDir dir;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "5", "-d", "2", "-v", "-u", "0", dir.path()}).status, 0);
  EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"part00", "part01", "part02"}));
  // Directories follow the position: part00 holds the first two handled.
  EXPECT_EQ(ListDir(dir / "part00"),
            (std::vector<std::string>{"frame000003.tst", "frame000004.tst"}));
  EXPECT_EQ(ListDir(dir / "part02"), std::vector<std::string>{"frame000000.tst"});

  TempDir loop;
  ASSERT_EQ(RunOrdavi({"-w", "4", "-n", "10", "-l", "3", "--name=shot_000100.dpx", "-u", "0",
                       loop.path()})
                .status,
            0);
  EXPECT_EQ(ListDir(loop.path()),
            (std::vector<std::string>{"shot_000100.dpx", "shot_000101.dpx", "shot_000102.dpx"}));
}

TEST(SyncEngine, UsageAndFatalErrorsExitWithOne) {
  TempDir dir;
  RunResult u = RunOrdavi({"-n", "0", dir.path()});
  EXPECT_EQ(u.status, 1);
  EXPECT_TRUE(Has(u.err,
                  "Number of frames is out of range, can be from 1 to 2000000000\n"
                  "Usage: ordavi [options] <path|file>\n"));
  EXPECT_TRUE(ListDir(dir.path()).empty());  // nothing touched

  RunResult f = RunOrdavi({"-n", "3", dir / "missing"});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.err, "Cannot get size of file \"" + dir.path() +
                       "/missing/frame000000.tst\"\n***FATAL*** Error 2: No such file or "
                       "directory\n");

  RunResult s = RunOrdavi({"-s", "-n", "4", dir / "s"});
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.err,
            "Frame size must be specified (-z) when performing a streaming test\n"
            "***FATAL*** Error 0: Success\n");

  RunResult l = RunOrdavi({"-w", "4", "-n", "1", dir.path() + "/" + std::string(250, 'p')});
  EXPECT_EQ(l.status, 1);
  EXPECT_TRUE(Has(l.err, "Path is too long"));

  RunResult log =
      RunOrdavi({"-w", "4", "-n", "1", "-u", "0", "-x", dir / "no/such.csv", dir.path()});
  EXPECT_EQ(log.status, 1);
  EXPECT_EQ(log.err, "Could not create log file: No such file or directory\n");
}

}  // namespace
