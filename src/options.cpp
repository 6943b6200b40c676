// The command line.
//
// The scanner accepts grouped single-letter flags (-vm), values attached or
// separate (-n100, -n 100), a lone "-", extended options (--name=x arrives as
// option "-" with the value "name=x") and non-option arguments (the path).
// Every error goes through Usage, which ends the process with status 1 before
// any file is touched.
#include "options.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frameset.h"
#include "messages.h"
#include "params.h"
#include "run_hooks.h"
#include "timing_log_format.h"
#include "version.h"

namespace {

// Scanner state: the argument being scanned and the position inside a group
// of single-letter options (0 when not inside one).
int argindex = 1;
int argsubindex = 0;
char noparam[1] = {0};

struct Preset {
  const char* word;
  int bytes;
};
constexpr Preset kPresets[] = {
    {"sd", 1382400},   // 720 x 480 x 4
    {"hd", 8294400},   // 1920 x 1080 x 4
    {"2k", 12746752},  // 2048 x 1556 x 4
    {"4k", 50987008},  // 4096 x 3112 x 4
};

const char kUsageText[] =
    "Usage: ordavi [options] <path|file>\n"
    "\n"
    " Options:\n"
    "   -w size  Perform write test with 'size' KB frames or \"sd\", \"hd\", \"2k\", \"4k\"\n"
    "   -e       Perform write test with empty frames (open/close test)\n"
    "   -r       Perform read test using existing frames (default)\n"
    "   -s       Perform streaming test to/from a single file\n"
    "   -n num   Number of frames to read or write (default = 1800)\n"
    "   -B       Use buffered I/O (default is direct)\n"
    "   -a num   Use async I/O with 'num' overlapped operations (default is sync)\n"
    "   -t num   Use multithreading I/O, with 'num' threads at one time\n"
    "   -o       Handle completed I/Os out-of-order (not used in read and sync IO)\n"
    "   -f rate  Limit speed to 'rate' frames per second\n"
    "   -q num   Maximum 'num' of queued buffers before a frame is dropped\n"
    "   -b num   Pre-buffer 'num' frames before starting \"playback\" (default = 5)\n"
    "   -v       Create/access files in reverse order\n"
    "   -m       Create/access files in a random pattern\n"
    "   -l num   Number of frames to loop (default = 0: don't loop)\n"
    "   -i num   Number of I/Os per frame (default = 1, ignored in async mode)\n"
    "   -z size  Specifies a custom 'size' for read or write test in KB\n"
    "   -d num   Use directories, with 'num' files per directory\n"
    "   -p secs  Pause 'secs' before starting test\n"
    "   -c perc  Crop mode, read middle 'perc'% of frame (ignored in write test)\n"
    "   -u secs  Display update interval in seconds (default = 1s)\n"
    "   -h secs  Histogram displays last 'secs' worth of info (default = all)\n"
    "   -x file  Export detailed timing to a file (comma separated), append '.csv'\n"
    "\n"
    "   --header=size   Header 'size' in KB for non-stream mode (default = 64)\n"
    "   --name=name     Use 'name' as the filename pattern specifying the first file\n"
    "   --noinfo        Don't display version and copyright information\n"
    "   --verbose       Verbose/debugging mode\n"
    "\n";

// Parses a numeric value with strtol in base 0. Returns false when the parse
// stops before the end of the value. A value beyond a long saturates, which
// the range check then refuses.
bool ParseNumber(const char* value, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(value, &end, 0);
  if (*end != '\0') return false;
  *out = int64_t(v);
  return true;
}

// A numeric option value: parse (or Usage), range check (or Usage).
int NumericValue(int opt, char* value, const char* label, int64_t min, int64_t max) {
  int64_t v = 0;
  if (!ParseNumber(value, &v)) Usage("Invalid option: -%c %s\n\n", opt, value);
  ValidateRange(label, v, min, max);
  return int(v);
}

// -w and -z: a preset word or a number of KB.
void FrameSizeValue(int opt, char* value, CommandLine* cl) {
  for (const Preset& p : kPresets) {
    if (strcmp(value, p.word) == 0) {
      g_fileSize = p.bytes;
      cl->addDpxHeader = TRUE;
      return;
    }
  }
  g_fileSize = NumericValue(opt, value, "Size of file", 0, timing_log::kMaxFrameSizeKB) * 1024;
  cl->addDpxHeader = FALSE;
}

}  // namespace

void ResetParameterScanner() {
  argindex = 1;
  argsubindex = 0;
}

int ParseParameter(int argc, char** argv, const char* optionswithparams, char** param) {
  *param = noparam;
  if (argsubindex != 0) {
    unsigned char c = static_cast<unsigned char>(argv[argindex][argsubindex + 1]);
    argsubindex++;
    if (c != '\0') return c;
    argindex++;
    argsubindex = 0;
  }
  if (argindex >= argc) return -1;
  char* arg = argv[argindex];
  if (arg[0] != '-') {
    *param = arg;
    argindex++;
    return 0;
  }
  if (arg[1] == '\0') {
    argindex++;
    return 32;
  }
  unsigned char c = static_cast<unsigned char>(arg[1]);
  if (strchr(optionswithparams, c) == nullptr) {
    argsubindex = 1;
    return c;
  }
  if (arg[2] != '\0') {
    *param = arg + 2;
    argindex++;
    return c;
  }
  argindex++;
  if (argindex < argc) {
    *param = argv[argindex];
    argindex++;
  }
  return c;
}

void ValidateRange(const char* msg, int64_t value, int64_t min, int64_t max) {
  if (value < min || value > max)
    Usage("%s is out of range, can be from %d to %d\n", msg, int(min), int(max));
}

void DisplayAppInfo() {
  if (g_noInfo) return;
  printf("Ordavi " ORDAVI_VERSION " for Linux\n");
  printf("Frame I/O storage benchmark - Copyright (c) 2026 the ordavi developers\n");
  printf("\n");
  g_noInfo = TRUE;
}

void Usage(const char* lpMsg, ...) {
  DisplayAppInfo();
  if (lpMsg) {
    va_list ap;
    va_start(ap, lpMsg);
    vfprintf(stderr, lpMsg, ap);
    va_end(ap);
  }
  fputs(kUsageText, stderr);
  if (g_runHooks.usageExtra) fputs(g_runHooks.usageExtra, stderr);
  OrdaviExit(1);
}

void ProcessExtendedParam(char* param) {
  char* name = param;
  char* paramValue = strchr(param, '=');
  if (paramValue) *paramValue++ = '\0';

  if (strcmp(name, "help") == 0) {
    Usage(nullptr);
  } else if (strcmp(name, "header") == 0) {
    if (!paramValue) Usage("Missing value for --header option\n\n");
    int64_t v = 0;
    if (!ParseNumber(paramValue, &v)) Usage("Invalid option: --%s=%s\n\n", name, paramValue);
    ValidateRange("Header size", v, 0, 1024);
    g_headerSize = int(v);
  } else if (strcmp(name, "name") == 0) {
    if (!paramValue || paramValue[0] == '\0') Usage("Missing name for --name option\n\n");
    if (!ApplyNamePattern(paramValue))
      Usage("Name for --name option is too long or its number too large: %s\n\n", paramValue);
  } else if (strcmp(name, "noinfo") == 0) {
    g_noInfo = TRUE;
  } else if (strcmp(name, "verbose") == 0) {
    g_isVerbose = TRUE;
  } else if (paramValue) {
    Usage("Unrecognised option: --%s=%s\n\n", name, paramValue);
  } else {
    Usage("Unrecognised option: --%s\n\n", name);
  }
}

void ParseCommandLine(int argc, char** argv, CommandLine* cl) {
  if (argc < 2) Usage(nullptr);
  char* value = nullptr;
  bool first = true;
  int opt;
  while ((opt = ParseParameter(argc, argv, "abcdfghilnpqtuxwz-", &value)) >= 0) {
    first = false;
    switch (opt) {
      case 0:
        cl->path = value;
        break;
      case '-':
        ProcessExtendedParam(value);
        break;
      case 'w':
        cl->isWriteTest = 1;
        FrameSizeValue(opt, value, cl);
        break;
      case 'z':
        FrameSizeValue(opt, value, cl);
        break;
      case 'e':
        cl->isWriteTest = 1;
        g_fileSize = 0;
        break;
      case 'r':
        cl->isWriteTest = 0;
        break;
      case 's':
        g_streamMode = TRUE;
        break;
      case 'n':
        g_numFrames = NumericValue(opt, value, "Number of frames", timing_log::kMinFrames,
                                   timing_log::kMaxFrames);
        break;
      case 'B':
        g_bufferedIo = TRUE;
        break;
      case 'a':
        g_numOps = NumericValue(opt, value, "Number of buffers", 1, 50);
        g_testMode = kAsyncTest;
        break;
      case 't':
        g_numOps = NumericValue(opt, value, "Number of threads", 1, 20);
        g_testMode = kThreadedTest;
        break;
      case 'o':
        g_isOutOfOrderIo = TRUE;
        break;
      case 'f':
        g_frameRate =
            NumericValue(opt, value, "The desired frame rate", 0, timing_log::kMaxFrameRate);
        if (g_frameRate >= timing_log::kMinFrameRate && g_frameQueueSize == 0)
          g_frameQueueSize = timing_log::DefaultQueueSize(g_frameRate);
        break;
      case 'q':
        g_frameQueueSize = NumericValue(opt, value, "The size of queue", timing_log::kMinQueue,
                                        timing_log::kMaxQueue);
        break;
      case 'b':
        g_framePreBufferCount =
            NumericValue(opt, value, "The pre-buffering number", 0, timing_log::kMaxPreBuffer);
        break;
      case 'v':
        g_isReverse = TRUE;
        break;
      case 'm':
        g_isRandom = TRUE;
        break;
      case 'l':
        g_loopFrames = NumericValue(opt, value, "The loop number", 1, 1000000);
        break;
      case 'i':
        g_iosPerFrame = NumericValue(opt, value, "Number of IOs", timing_log::kMinIosPerFrame,
                                     timing_log::kMaxIosPerFrame);
        break;
      case 'd':
        g_numFilesPerDir = NumericValue(opt, value, "Files per directory", 1, 2000000000);
        break;
      case 'p':
        g_pause = NumericValue(opt, value, "The start delay", 0, 100000);
        break;
      case 'c':
        g_cropMode =
            NumericValue(opt, value, "Crop percentage", timing_log::kMinCrop, timing_log::kMaxCrop);
        break;
      case 'u':
        g_updateInterval = NumericValue(opt, value, "The update interval", 0, 1000);
        break;
      case 'h':
        g_histogramPeriod = NumericValue(opt, value, "The histogram period", 0, 1000);
        break;
      case 'x':
        if (value[0] == '-') Usage("Missing file name for log\n\n");
        cl->logFile = value;
        break;
      case 'g':
        Usage("ZEVROv2 is not supported with this version of Ordavi\n\n");
      default:
        Usage("Unrecognised option: -%c %s\n\n", opt, value);
    }
  }
  if (first) Usage("Path not specified\n\n");
  // An empty path would put the frames in the root directory.
  if (!cl->path || cl->path[0] == '\0') Usage("Path not specified\n\n");
}
