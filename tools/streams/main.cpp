// ordavi-streams: how many streams of a format, at a rate, a storage carries
// without dropping a frame.
//
// A stream is one real, unchanged ordavi run, paced at the rate, on a target
// of its own below DIR, with its own timing log. A probe runs a number of
// streams at once and passes when every stream ran to its end without an
// error and without a dropped frame. A fixed mix is one probe; a search
// finds the largest passing count of one direction (see search.h). The
// streams' logs are read back with ordavi-report's reader and model.
//
// The coordinator starts the streams and then sleeps in one blocking wait
// (process.h) until they end: it is never on a stream's timed path.
#include <getopt.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "formats.h"
#include "metrics.h"
#include "output.h"
#include "probe.h"
#include "regress.h"
#include "search.h"
#include "version.h"

namespace fs = std::filesystem;
using namespace streams;

namespace {

constexpr int kExitOk = 0, kExitUsage = 1, kExitRequire = 3;

const char kUsage[] =
    "Usage: ordavi-streams [options] DIR [-- ordavi options]\n"
    "\n"
    "How many streams of a format, at a rate, the storage at DIR carries without\n"
    "a dropped frame. Each stream is one paced ordavi run on a target of its own.\n"
    "\n"
    " What a stream is:\n"
    "   --format NAME     a format of the catalogue (see --formats)\n"
    "   --size KB         or frames of KB kilobytes (1024 bytes)\n"
    "   --rate FPS        frame rate asked for, 1 to 100 (default 24); a broadcast\n"
    "                     rate runs at the next whole rate up (23.976 runs at 24)\n"
    "   --duration S      seconds each probe runs (default 10)\n"
    " The load:\n"
    "   --read N          N playback streams (a fixed mix)\n"
    "   --write M         M capture streams (a fixed mix)\n"
    "   --max read|write  search the most streams of that direction, beside the mix\n"
    "   --limit N         the search's highest count (default 256)\n"
    "   --repeat K        confirm the answer K times (default 1)\n"
    "   --stagger MS      start stream k k*MS milliseconds after the first\n"
    "   --launcher local|mpirun   local processes (default), or one\n"
    "                     `mpirun -np K ordavi-mpi` job per probe\n"
    "   --mpirun-args 'ARGS'      extra mpirun arguments (a host file, ...)\n"
    " Output:\n"
    "   --json FILE       the results as JSON ('-': standard output)\n"
    "   --html FILE       a page with the capacity curve and the tables\n"
    "   --logs DIR2       where each probe's logs go (default DIR/ordavi-streams-logs)\n"
    "   --require N       exit with status 3 when the answer is below N\n"
    "   --baseline FILE   compare with an earlier run's --json document\n"
    "   --tolerance PCT   a margin or MiB/s within PCT %% is the same (default 10)\n"
    "   --fail-on-regression  exit with status 3 when anything is worse\n"
    "   --force           compare with a baseline of another test anyway\n"
    "   --metrics FILE    the results as Prometheus metrics (a .prom file)\n"
    "   --keep            keep the read streams' frames for a later run\n"
    "   --formats         list the catalogue with bytes per frame and MiB/s\n"
    "   --help, --version\n"
    "\n"
    "Options after -- go to every ordavi (-a, -t, -o, -B, -d, -q, -b, -s, -i, -c,\n"
    "-l, -p, -v, -m, --header, --name); -f, -n, -x, -w, -r, -z and -e are set by\n"
    "ordavi-streams itself.\n"
    "Exit status: 0 the test or search ran to its end, 1 usage error or failed\n"
    "preparation, 3 answer below --require or worse than --baseline with\n"
    "--fail-on-regression, 128+N stopped by signal N.\n";

[[noreturn]] void Die(const std::string& msg) {
  fprintf(stderr, "ordavi-streams: %s\n", msg.c_str());
  exit(kExitUsage);
}

[[noreturn]] void UsageError(const std::string& msg) {
  fprintf(stderr, "ordavi-streams: %s\nTry 'ordavi-streams --help'.\n", msg.c_str());
  exit(kExitUsage);
}

std::string Fmt(double v) {
  char b[32];
  snprintf(b, sizeof b, "%g", v);
  return b;
}

long WholeNumber(const char* option, const char* text, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
    UsageError(std::string(option) + " needs a whole number from " + std::to_string(lo) + " to " +
               std::to_string(hi) + ", not '" + text + "'");
  return v;
}

double Number(const char* option, const char* text, double lo, double hi) {
  char* end = nullptr;
  errno = 0;
  double v = strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || v < lo || v > hi)
    UsageError(std::string(option) + " needs a number from " + Fmt(lo) + " to " + Fmt(hi) +
               ", not '" + text + "'");
  return v;
}

// Checks the ordavi options given after --: the ones a stream can take pass,
// the ones ordavi-streams sets itself are refused with the reason.
void TakePassThrough(const std::vector<std::string>& args, Config* c) {
  const std::string flags = "BosvmE", valued = "atqbidclpuh";
  auto refuse = [](char letter) -> std::string {
    switch (letter) {
      case 'f':
        return "-f: the rate is --rate";
      case 'n':
        return "-n: the frames follow from --duration and the rate";
      case 'x':
        return "-x: each stream's timing log is ordavi-streams' own";
      case 'w':
      case 'r':
      case 'e':
        return std::string("-") + letter + ": the direction is --read, --write or --max";
      case 'z':
        return "-z: the frame size is --format or --size";
      default:
        return std::string("-") + letter + " is not an ordavi option a stream can take";
    }
  };
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) == 0) {
      std::string name =
          a.substr(2, a.find('=') == std::string::npos ? std::string::npos : a.find('=') - 2);
      if (name != "header" && name != "name" && name != "noinfo" && name != "verbose")
        UsageError("ordavi option " + a + " is not one a stream can take");
      if (name == "name") c->layout.push_back(a);
      c->passThrough.push_back(a);
      continue;
    }
    if (a.size() < 2 || a[0] != '-') UsageError("'" + a + "' after -- is not an ordavi option");
    c->passThrough.push_back(a);
    for (size_t k = 1; k < a.size(); k++) {
      char l = a[k];
      if (valued.find(l) != std::string::npos) {
        std::string value = a.substr(k + 1);
        if (value.empty()) {
          if (i + 1 >= args.size())
            UsageError(std::string("ordavi option -") + l + " needs a value");
          value = args[++i];
          c->passThrough.push_back(value);
        }
        if (l == 'd') {
          c->layout.push_back(std::string("-d"));
          c->layout.push_back(value);
        }
        break;
      }
      if (flags.find(l) == std::string::npos || l == 'E') UsageError("ordavi option " + refuse(l));
      if (l == 's') {
        c->streamFile = true;
        c->layout.push_back("-s");
      }
    }
  }
}

std::string ProgramBeside(const std::string& name) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    self[n] = '\0';
    std::string p = fs::path(self).parent_path() / name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    std::string d = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string p = (d.empty() ? "." : d) + "/" + name;
    if (access(p.c_str(), X_OK) == 0) return p;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}

void ListFormats(double rate) {
  printf("%-20s %12s %10s  %s\n", "format", "bytes/frame", "MiB/s", "description (source)");
  for (const Format& f : Catalogue())
    printf("%-20s %12ld %10.2f  %s (%s)\n", f.name, long(f.bytesPerFrame),
           MiBps(f.bytesPerFrame, rate), f.description, f.source);
  printf("MiB/s per stream at %g fps.\n", rate);
}

Config ParseCommandLine(int argc, char** argv) {
  Config c;
  int dd = argc;
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "--") == 0) {
      dd = i;
      break;
    }
  std::vector<std::string> after(argv + std::min(dd + 1, argc), argv + argc);

  enum {
    kRead = 256,
    kWrite,
    kMax,
    kFormat,
    kSize,
    kRate,
    kDuration,
    kLimit,
    kRepeat,
    kStagger,
    kLauncher,
    kMpirunArgs,
    kJson,
    kHtml,
    kLogs,
    kRequire,
    kKeep,
    kFormats,
    kHelp,
    kVersion,
    kBaseline,
    kTolerance,
    kFailOnRegression,
    kForce,
    kMetrics
  };
  static const option longs[] = {{"read", required_argument, nullptr, kRead},
                                 {"write", required_argument, nullptr, kWrite},
                                 {"max", required_argument, nullptr, kMax},
                                 {"format", required_argument, nullptr, kFormat},
                                 {"size", required_argument, nullptr, kSize},
                                 {"rate", required_argument, nullptr, kRate},
                                 {"duration", required_argument, nullptr, kDuration},
                                 {"limit", required_argument, nullptr, kLimit},
                                 {"repeat", required_argument, nullptr, kRepeat},
                                 {"stagger", required_argument, nullptr, kStagger},
                                 {"launcher", required_argument, nullptr, kLauncher},
                                 {"mpirun-args", required_argument, nullptr, kMpirunArgs},
                                 {"json", required_argument, nullptr, kJson},
                                 {"html", required_argument, nullptr, kHtml},
                                 {"logs", required_argument, nullptr, kLogs},
                                 {"require", required_argument, nullptr, kRequire},
                                 {"keep", no_argument, nullptr, kKeep},
                                 {"formats", no_argument, nullptr, kFormats},
                                 {"help", no_argument, nullptr, kHelp},
                                 {"version", no_argument, nullptr, kVersion},
                                 {"baseline", required_argument, nullptr, kBaseline},
                                 {"tolerance", required_argument, nullptr, kTolerance},
                                 {"fail-on-regression", no_argument, nullptr, kFailOnRegression},
                                 {"force", no_argument, nullptr, kForce},
                                 {"metrics", required_argument, nullptr, kMetrics},
                                 {nullptr, 0, nullptr, 0}};
  bool listFormats = false, searchOptions = false, compareOptions = false;
  std::string sizeText;
  std::vector<std::string> dirs;
  opterr = 0;
  optind = 1;
  int opt;
  while ((opt = getopt_long(dd, argv, "-", longs, nullptr)) != -1) {
    switch (opt) {
      case 1:
        dirs.push_back(optarg);
        break;
      case kRead:
        c.reads = int(WholeNumber("--read", optarg, 0, 4096));
        break;
      case kWrite:
        c.writes = int(WholeNumber("--write", optarg, 0, 4096));
        break;
      case kMax:
        if (strcmp(optarg, "read") != 0 && strcmp(optarg, "write") != 0)
          UsageError(std::string("--max takes read or write, not '") + optarg + "'");
        c.maxDirection = optarg[0];
        break;
      case kFormat:
        c.formatName = optarg;
        break;
      case kSize:
        sizeText = optarg;
        break;
      case kRate:
        c.rate = Number("--rate", optarg, 1, 100);
        break;
      case kDuration:
        c.duration = Number("--duration", optarg, 1, 86400);
        break;
      case kLimit:
        c.limit = int(WholeNumber("--limit", optarg, 1, 4096));
        searchOptions = true;
        break;
      case kRepeat:
        c.repeat = int(WholeNumber("--repeat", optarg, 0, 100));
        searchOptions = true;
        break;
      case kStagger:
        c.staggerMs = int(WholeNumber("--stagger", optarg, 0, 60000));
        break;
      case kLauncher:
        if (strcmp(optarg, "local") == 0)
          c.launcher = Launcher::kLocal;
        else if (strcmp(optarg, "mpirun") == 0)
          c.launcher = Launcher::kMpirun;
        else
          UsageError(std::string("--launcher takes local or mpirun, not '") + optarg + "'");
        break;
      case kMpirunArgs: {
        std::istringstream in(optarg);
        for (std::string w; in >> w;) c.mpirunArgs.push_back(w);
        break;
      }
      case kJson:
        c.jsonPath = optarg;
        break;
      case kHtml:
        c.htmlPath = optarg;
        break;
      case kLogs:
        c.logs = optarg;
        break;
      case kRequire:
        c.require = int(WholeNumber("--require", optarg, 0, 4096));
        break;
      case kBaseline:
        c.baselinePath = optarg;
        break;
      case kTolerance:
        c.tolerancePct = Number("--tolerance", optarg, 0, 1000);
        compareOptions = true;
        break;
      case kFailOnRegression:
        c.failOnRegression = true;
        compareOptions = true;
        break;
      case kForce:
        c.force = true;
        compareOptions = true;
        break;
      case kMetrics:
        c.metricsPath = optarg;
        break;
      case kKeep:
        c.keep = true;
        break;
      case kFormats:
        listFormats = true;
        break;
      case kHelp:
        fputs(kUsage, stdout);
        exit(kExitOk);
      case kVersion:
        printf("ordavi-streams %s\n", ORDAVI_VERSION);
        exit(kExitOk);
      case ':':
        UsageError(std::string(argv[optind - 1]) + " needs a value");
      default:
        UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  c.wholeRate = int(std::ceil(c.rate - 1e-9));
  if (listFormats) {
    ListFormats(c.rate);
    exit(kExitOk);
  }

  // What a stream is.
  if (!c.formatName.empty() && !sizeText.empty()) UsageError("give --format or --size, not both");
  if (!c.formatName.empty()) {
    const Format* f = FindFormat(c.formatName);
    if (!f) {
      std::string near;
      for (const std::string& n : NearestFormats(c.formatName, 3))
        near += (near.empty() ? "" : ", ") + n;
      UsageError("unknown format '" + c.formatName + "'; the nearest are " + near +
                 " (--formats lists them all)");
    }
    c.bytesPerFrame = f->bytesPerFrame;
  } else if (!sizeText.empty()) {
    c.bytesPerFrame = int64_t(WholeNumber("--size", sizeText.c_str(), 1, 2097151)) * 1024;
  } else {
    UsageError("give the frames' size with --format NAME or --size KB");
  }
  c.frames = std::max<int64_t>(2, std::llround(std::ceil(c.duration * c.wholeRate)));

  // The load.
  if (c.maxDirection == 0 && c.reads + c.writes == 0)
    UsageError("give --read N and/or --write M, or --max read|write");
  if (c.maxDirection == 0 && searchOptions) UsageError("--limit and --repeat go with --max");
  if (c.launcher == Launcher::kMpirun && c.reads > 0 && c.writes > 0)
    UsageError("--launcher mpirun runs one direction per probe: not --read and --write together");
  if (c.launcher == Launcher::kMpirun && c.maxDirection != 0 &&
      ((c.maxDirection == 'r' && c.writes > 0) || (c.maxDirection == 'w' && c.reads > 0)))
    UsageError("--launcher mpirun runs one direction per probe: --max " +
               std::string(DirName(c.maxDirection == 'w')) +
               " cannot have a fixed mix of the other");
  if (c.launcher == Launcher::kMpirun && c.staggerMs > 0)
    UsageError("--stagger is for the local launcher (ordavi-mpi starts its ranks together)");
  if (!c.mpirunArgs.empty() && c.launcher != Launcher::kMpirun)
    UsageError("--mpirun-args goes with --launcher mpirun");
  if (!c.jsonPath.empty() && c.jsonPath == c.htmlPath)
    UsageError("--json and --html name the same file");
  if (compareOptions && c.baselinePath.empty())
    UsageError("--tolerance, --fail-on-regression and --force go with --baseline");
  if (c.metricsPath == "-")
    UsageError("--metrics needs a file (it is written whole, then renamed)");

  if (dirs.empty()) UsageError("no DIR given");
  if (dirs.size() > 1)
    UsageError("one DIR only ('" + dirs[1] + "' is a second; ordavi options go after --)");
  c.dir = dirs[0];
  TakePassThrough(after, &c);
  return c;
}

bool g_textToStderr = false;
FILE* Text() { return g_textToStderr ? stderr : stdout; }

}  // namespace

int main(int argc, char** argv) {
  Config c = ParseCommandLine(argc, argv);
  g_textToStderr = c.jsonPath == "-";

  // DIR: there, a directory, writable.
  struct stat st;
  if (stat(c.dir.c_str(), &st) != 0) Die(c.dir + ": " + strerror(errno));
  if (!S_ISDIR(st.st_mode)) Die(c.dir + " is not a directory");
  if (access(c.dir.c_str(), W_OK | X_OK) != 0) Die(c.dir + " is not writable: " + strerror(errno));
  while (c.dir.size() > 1 && c.dir.back() == '/') c.dir.pop_back();
  c.work = c.dir + "/ordavi-streams";
  if (c.logs.empty()) c.logs = c.dir + "/ordavi-streams-logs";

  c.ordavi = ProgramBeside("ordavi");
  if (c.ordavi.empty()) Die("cannot find ordavi beside ordavi-streams or in PATH");
  if (c.launcher == Launcher::kMpirun) {
    c.ordaviMpi = ProgramBeside("ordavi-mpi");
    c.mpirun = ProgramBeside("mpirun");
    if (c.ordaviMpi.empty()) Die("cannot find ordavi-mpi beside ordavi-streams or in PATH");
    if (c.mpirun.empty()) Die("cannot find mpirun in PATH");
  }

  signal(SIGPIPE, SIG_IGN);
  Signals signals;
  if (!signals.Init()) Die(std::string("cannot set up signal handling: ") + strerror(errno));

  // The baseline first: a comparison that cannot be made is known before the
  // search runs.
  nlohmann::ordered_json baseline;
  results::Comparison comparison;
  comparison.baselineFile = c.baselinePath;
  comparison.tolerancePct = c.tolerancePct;
  if (!c.baselinePath.empty()) {
    std::string error;
    if (!ReadBaseline(c.baselinePath, &baseline, &error)) Die(error);
    CheckBaseline(c, baseline, &comparison);
    if (!comparison.mismatches.empty() && !c.force)
      Die(c.baselinePath + " ran another test: " + results::DescribeFields(comparison.mismatches) +
          " (--force compares anyway)");
    comparison.forced = !comparison.mismatches.empty();
  }

  std::error_code ec;
  fs::create_directories(c.work, ec);
  if (ec) Die("cannot create " + c.work + ": " + ec.message());
  RunSummary sum;
  sum.search = c.maxDirection != 0;
  std::vector<int> preparedHere;
  auto cleanUp = [&] {
    fs::remove_all(c.work + "/write", ec);
    fs::remove_all(c.work + "/check", ec);
    if (!c.keep) {
      // Frames this run wrote go; frames an earlier run kept stay.
      for (int i : preparedHere) {
        fs::remove_all(TargetOf(c, false, i), ec);
        fs::remove(TargetOf(c, false, i) + ".ready", ec);
      }
      fs::remove(c.work + "/read", ec);  // only when empty
      fs::remove(c.work, ec);
    }
    if (sum.probes.empty()) fs::remove(c.logs, ec);  // only when empty
  };

  // The ordavi options, checked by ordavi itself on one small frame before
  // anything long starts.
  {
    Launch l;
    std::string target = c.work + "/check";
    fs::remove_all(target, ec);
    if (!c.streamFile) fs::create_directories(target, ec);
    l.argv = {c.ordavi, "-u", "0", "--noinfo"};
    l.argv.insert(l.argv.end(), c.passThrough.begin(), c.passThrough.end());
    l.argv.insert(l.argv.end(), {"-n", "1", "-w", "4", target});
    l.outPath = c.work + "/check.out";
    l.errPath = c.work + "/check.err";
    Outcome o = RunGroup(signals, {l}, {}).at(0);
    std::string err;
    {
      std::ifstream in(l.errPath);
      std::stringstream ss;
      ss << in.rdbuf();
      err = ss.str();
    }
    // ordavi's message, without the usage text that follows it.
    err = err.substr(0, err.find("Usage: ordavi"));
    while (!err.empty() && (err.back() == '\n' || err.back() == ' ')) err.pop_back();
    fs::remove_all(target, ec);
    fs::remove(l.outPath, ec);
    fs::remove(l.errPath, ec);
    if (signals.stopSignal != 0) {
      cleanUp();
      return 128 + signals.stopSignal;
    }
    if (!o.started || o.signal != 0 || o.status != 0) {
      cleanUp();
      Die("ordavi refused the options for a stream (" + DescribeEnd(o) + "):\n" + err);
    }
  }

  fs::create_directories(c.logs, ec);
  if (ec || access(c.logs.c_str(), W_OK) != 0) Die("cannot create the log directory " + c.logs);
  // The probes of an earlier run in the same log directory go: every probe
  // directory of this run must hold this run's logs only.
  for (auto& e : fs::directory_iterator(c.logs, ec))
    if (std::regex_match(e.path().filename().string(), std::regex("probe[0-9]{3}")))
      fs::remove_all(e.path(), ec);

  Search search(c.limit, c.repeat);
  int number = 0;
  for (;;) {
    if (signals.Drain()) break;  // stopped between two probes
    ProbeResult p;
    p.number = ++number;
    p.reads = c.reads;
    p.writes = c.writes;
    if (sum.search) {
      int n = search.Next();
      if (n == 0) break;
      p.role = search.Role();
      (c.maxDirection == 'r' ? p.reads : p.writes) += n;
    } else if (number > 1) {
      break;
    }
    // Space first: the read frames this probe needs and what its writers write.
    std::string error;
    int64_t need = int64_t(p.writes) * c.frames * c.bytesPerFrame;
    int64_t free = FreeBytes(c.dir);
    if (free >= 0 && free < need + need / 50) {
      char msg[256];
      snprintf(
          msg, sizeof msg, "%s has %.1f MiB free; %d write stream(s) of %ld frames need %.1f MiB",
          c.dir.c_str(), double(free) / 1048576, p.writes, long(c.frames), double(need) / 1048576);
      error = msg;
    } else if (!PrepareReads(c, p.reads, need, signals, &preparedHere, &error)) {
      // error is set
    }
    if (!error.empty()) {
      if (signals.stopSignal == 0) sum.stoppedBecause = error;
      number--;
      break;
    }
    RunProbe(c, signals, &p);
    PrintProbeLine(Text(), c, p);
    sum.probes.push_back(p);
    if (p.interrupted) break;
    if (sum.search)
      search.Record((c.maxDirection == 'r' ? p.reads - c.reads : p.writes - c.writes), p.passed);
  }
  sum.interrupted = signals.stopSignal != 0;
  sum.stopSignal = signals.stopSignal;

  // The answer and the probes it rests on.
  if (sum.search) {
    sum.answer = search.Answer();
    sum.lowered = search.Lowered();
    int fixed = c.reads + c.writes;
    for (size_t i = 0; i < sum.probes.size(); i++) {
      const ProbeResult& p = sum.probes[i];
      if (p.interrupted) continue;
      int n = p.streamsCount() - fixed;
      if (p.passed && n == sum.answer && sum.answer > 0) sum.answerProbe = int(i);
      if (!p.passed && n > sum.answer &&
          (sum.failureProbe < 0 || n < sum.probes[size_t(sum.failureProbe)].streamsCount() - fixed))
        sum.failureProbe = int(i);
    }
  } else if (!sum.probes.empty() && !sum.probes[0].interrupted) {
    if (sum.probes[0].passed) {
      sum.answer = c.reads + c.writes;
      sum.answerProbe = 0;
    } else {
      sum.failureProbe = 0;
    }
  }

  PrintTable(Text(), c, sum);
  PrintAnswer(Text(), c, sum);

  int status = kExitOk;
  nlohmann::ordered_json doc = ToJson(c, sum);
  std::string error;
  if (!c.baselinePath.empty()) {
    CompareWithBaseline(doc, baseline, &comparison);
    fprintf(Text(), "\n");
    results::WriteText(Text(), comparison);
    doc["comparison"] = results::ToJson(comparison);
  }
  if (!c.metricsPath.empty() &&
      !results::WriteFileAtomically(
          c.metricsPath,
          StreamsMetrics(c, sum, doc, c.baselinePath.empty() ? nullptr : &comparison), &error)) {
    fprintf(stderr, "ordavi-streams: %s\n", error.c_str());
    status = kExitUsage;
  }
  if (!c.jsonPath.empty() && !WriteAtomically(
                                 c.jsonPath,
                                 [&](FILE* f) {
                                   std::string s = doc.dump(2) + "\n";
                                   return fwrite(s.data(), 1, s.size(), f) == s.size();
                                 },
                                 &error)) {
    fprintf(stderr, "ordavi-streams: %s\n", error.c_str());
    status = kExitUsage;
  }
  if (!c.htmlPath.empty() && !WriteAtomically(
                                 c.htmlPath, [&](FILE* f) { return WriteHtml(f, doc); }, &error)) {
    fprintf(stderr, "ordavi-streams: %s\n", error.c_str());
    status = kExitUsage;
  }
  cleanUp();
  if (fflush(stdout) != 0 || ferror(stdout)) status = kExitUsage;
  if (!sum.stoppedBecause.empty()) {
    fprintf(stderr, "ordavi-streams: %s\n", sum.stoppedBecause.c_str());
    status = kExitUsage;
  }
  if (sum.interrupted) return 128 + sum.stopSignal;
  if (status == kExitOk && c.failOnRegression && comparison.Count(results::Judgement::kWorse) > 0) {
    fprintf(Text(), "Worse than the baseline %s.\n", c.baselinePath.c_str());
    status = kExitRequire;
  }
  if (status == kExitOk && c.require >= 0 && sum.answer < c.require) {
    fprintf(Text(), "The answer %d is below the %d required.\n", sum.answer, c.require);
    status = kExitRequire;
  }
  return status;
}
