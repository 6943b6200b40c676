// What ordavi-streams runs and what it found: the configuration of a run,
// and the results of each probe and each stream in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace streams {

enum class Launcher { kLocal, kMpirun };

struct Config {
  std::string dir;         // where the streams' targets go
  std::string work;        // dir + "/ordavi-streams": everything this program writes there
  std::string logs;        // where each probe's logs go
  std::string formatName;  // "dnxhr-hqx-uhd", or "" with --size
  int64_t bytesPerFrame = 0;
  double rate = 24;           // as asked
  int wholeRate = 24;         // as run: the whole rate at or above `rate`
  double duration = 10;       // seconds per probe
  int64_t frames = 240;       // per stream and probe
  int reads = 0, writes = 0;  // the fixed mix
  char maxDirection = 0;      // 'r' or 'w' for a search, 0 for a fixed mix
  int limit = 256, repeat = 1, staggerMs = 0;
  Launcher launcher = Launcher::kLocal;
  std::vector<std::string> mpirunArgs;
  std::vector<std::string> passThrough;   // ordavi options after --
  bool streamFile = false;                // -s among them
  std::vector<std::string> layout;        // the pass-through options that shape the frames on disk
  std::string ordavi, ordaviMpi, mpirun;  // programs
  std::string jsonPath, htmlPath;
  int require = -1;
  bool keep = false;
  std::string baselinePath, metricsPath;
  double tolerancePct = 10;
  bool failOnRegression = false, force = false;
};

struct StreamResult {
  bool write = false;
  int number = 0;  // 1-based within its direction
  std::string target, log;
  double launchMs = 0;  // launch moment from the probe's start
  double endMs = 0;     // its last completion, from the probe's start
  int status = -1;      // exit status, -1 when not started
  int signal = 0;       // the signal that ended it
  std::string reason;   // why it failed, "" when it passed
  bool passed = false;
  bool logRead = false;
  int64_t frames = 0, dropped = 0;
  double fps = 0, mibps = 0, longestMs = 0, p999Ms = 0, headroom = 0;
  double firstDropS = -1;  // seconds from the probe's start, -1 without drops
};

struct ProbeResult {
  int number = 0;  // 1-based
  const char* role = "mix";
  int reads = 0, writes = 0;
  bool passed = false, interrupted = false;
  int64_t dropped = 0;
  double aggregateMiBps = 0;  // all bytes moved / first launch to last completion
  double startSpreadMs = 0;
  double seconds = 0;  // wall time of the probe
  std::string logDir;
  std::vector<StreamResult> streams;
  int streamsCount() const { return reads + writes; }
  // The stream whose first drop came earliest, or null.
  const StreamResult* FirstDrop() const;
  int DroppingStreams() const;
  double MinHeadroom() const;
};

}  // namespace streams
