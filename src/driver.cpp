// The run sequence of one test.
//
// Configuration (options, header and stream rules, path buffer, sizes,
// parameter string) is single-threaded and final before anything starts.
// Then the records are allocated, the platform is set up, the frame queue
// and the display thread are started, exactly one engine runs on this
// thread, and the summary is printed from what it recorded. Errors inside the
// test stop it in an orderly way and still end with the summary; the status
// is then 2, so that a script tells storage that failed from storage that
// passed (0: completed or stopped by the user). Usage and set-up failures,
// and a summary or timing log that could not be written, end with status 1.
#include "driver.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "engines/engines.h"
#include "frameset.h"
#include "messages.h"
#include "options.h"
#include "params.h"
#include "platform/platform.h"
#include "screen/display.h"
#include "screen/summary.h"
#include "stats.h"

const EngineProc kEngines[2][3] = {
    {ReadOrdaviSync, ReadOrdaviAsync, ReadOrdaviThreaded},
    {CreateOrdaviSync, CreateOrdaviAsync, CreateOrdaviThreaded},
};

namespace {

// Appends to the parameter string, never beyond its end.
struct ParamsWriter {
  char* s = g_paramsAsStr;
  size_t room = sizeof g_paramsAsStr;
  void operator()(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(s, room, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    size_t used = size_t(n) < room ? size_t(n) : room - 1;
    s += used;
    room -= used;
  }
};

// A write test's frames go into an existing directory: the path itself, or
// the stream file's directory. It is never created, since a mistyped mount
// point would then measure the wrong disk. Ends the process when it is not
// there.
void CheckWriteTarget(const char* path) {
  std::string dir = path;
  if (g_streamMode) {
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) Fatal(errno, "Cannot write frames into \"%s\"", dir.c_str());
  if (!S_ISDIR(st.st_mode)) Fatal(ENOTDIR, "Cannot write frames into \"%s\"", dir.c_str());
}

}  // namespace

void GenerateParametersString(int isWriteTest) {
  ParamsWriter add;
  g_paramsAsStr[0] = '\0';
  add("%s%d -n%d ", isWriteTest ? "-w" : "-r -z", g_fileSize / 1024, g_numFrames);
  if (g_streamMode)
    add("-s ");
  else if (g_numFilesPerDir > 0)
    add("-d%d ", g_numFilesPerDir);
  if (g_isReverse) add("-v ");
  if (g_isRandom) add("-m ");
  if (g_testMode == kThreadedTest)
    add("-t%d ", g_numOps);
  else if (g_testMode == kAsyncTest)
    add("-a%d ", g_numOps);
  if (g_testMode != kSyncTest && isWriteTest && g_isOutOfOrderIo) add("-o ");
  if (g_frameRate != 0) {
    add("-f%d -q%d ", g_frameRate, g_frameQueueSize);
    if (!isWriteTest) add("-b%d ", g_framePreBufferCount);
  }
  if (g_iosPerFrame >= 2 && g_testMode != kAsyncTest) add("-i%d ", g_iosPerFrame);
  if (!isWriteTest) {
    if (g_loopFrames != 0) add("-l%d ", g_loopFrames);
    if (g_cropMode != 0) add("-c%d ", g_cropMode);
  }
}

void ParseRun(int argc, char** argv, RunState* rs) {
  // Before anything else: a closed standard descriptor would be taken by the
  // first file opened, and the screen or trace lines would land in a frame
  // file, the stream or the log.
  if (!OpenStandardDescriptors())
    Fatal(errno, "Could not open /dev/null in place of a closed standard descriptor");
  QueryPerfFreq(&g_perfFreq);
  g_perfTime = 1.0 / double(g_perfFreq);
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);

  ParseCommandLine(argc, argv, &rs->cl);
  DisplayAppInfo();
}

void ConfigureRun(RunState* rs) {
  const CommandLine& cl = rs->cl;
  if (g_numOps > g_numFrames) g_numOps = g_numFrames;
  if (!g_streamMode && cl.addDpxHeader) g_fileSize += g_headerSize * 1024;
  if (g_streamMode && g_fileSize == 0)
    Fatal(0, "Frame size must be specified (-%c) when performing a streaming test",
          cl.isWriteTest ? 'w' : 'z');

  // The frame numbers must stay within an int, and every path the run builds
  // within the path buffer.
  if (!g_streamMode && int64_t(g_firstFileNum) + LargestFrameNumber() > INT_MAX)
    Usage("The frame numbers of --name go beyond %d\n\n", INT_MAX);
  char* fileNameBuf = rs->fileNameBuf;
  size_t pathLen = strlen(cl.path);
  bool addSlash = !g_streamMode && (pathLen == 0 || cl.path[pathLen - 1] != '/');
  size_t needed = pathLen + (addSlash ? 1 : 0) + (g_streamMode ? 0 : size_t(LongestNamePart()));
  if (needed >= sizeof rs->fileNameBuf)
    Usage("Path is too long (at most %d characters with the frame names): %s\n\n", kPathBufSize - 1,
          cl.path);
  memcpy(fileNameBuf, cl.path, pathLen + 1);
  if (addSlash) strcat(fileNameBuf, "/");
  rs->namePart = fileNameBuf + strlen(fileNameBuf);

  if (cl.isWriteTest) CheckWriteTarget(cl.path);
  if (cl.isWriteTest)
    UpdateParametersForWriteTest();
  else
    UpdateParametersForReadTest(fileNameBuf, rs->namePart);
  GenerateParametersString(cl.isWriteTest);

  // The log is created now, before anything is measured: a log that cannot
  // be written must not be found out after an hour of measuring.
  if (cl.logFile && !OpenTimingLogBeforeRun(cl.logFile)) {
    fprintf(stderr, "Could not create log file: %s\n", strerror(errno));
    OrdaviExit(1);
  }
}

void ExecuteRun(RunState* rs) {
  // Value-initialised: every page is touched now, not on a frame's timed path.
  g_frameStats = new (std::nothrow) TIME_STATS[size_t(g_numFrames)]();
  if (!g_frameStats)
    Fatal(ENOMEM, "Could not allocate memory for the timing records of %d frames", g_numFrames);

  PlatformInit();

  if (g_isRandom && !AllocateRandomOrder())
    Fatal(ENOMEM, "Could not allocate memory for the random order of %d frames", g_numFrames);

  if (g_frameRate != 0) {
    g_frameSema = CreateSema(0, g_frameQueueSize);
    if (!g_frameSema) OrdaviExit(1);  // "sem_open" and the reason are printed
  }

  THREAD displayThread{};
  bool displayStarted = false;
  if (!g_isVerbose && g_updateInterval > 0) {
    int rc = pthread_create(&displayThread, &g_pthreadAttr, DisplayStats, nullptr);
    if (rc != 0) Fatal(rc, "Could not create \"display\" thread");
    displayStarted = true;
  }

  QueryPerfCount(&g_verboseTime);
  rs->nFrames = kEngines[rs->cl.isWriteTest ? 1 : 0][g_testMode](rs->fileNameBuf, rs->namePart);

  if (displayStarted) {
    WakeDisplayStats();
    pthread_join(displayThread, nullptr);
  }
  // The measured run is over: from here a break no longer cuts the summary
  // or the log short.
  RestartInterruptedCalls();
}

void ReleaseRun() {
  if (g_frameSema) {
    CloseSema(g_frameSema);
    g_frameSema = nullptr;
  }
  FreeRandomOrder();
  delete[] g_frameStats;
  g_frameStats = nullptr;
}

int OrdaviMain(int argc, char** argv) {
  RunState rs;
  ParseRun(argc, argv, &rs);
  ConfigureRun(&rs);
  ExecuteRun(&rs);
  int status = DumpStats(rs.cl.isWriteTest, rs.nFrames, rs.cl.logFile, rs.cl.path);
  if (ReportLostOutput() != 0)
    status = 1;
  else if (status == 0 && TestFailed())
    status = 2;
  ReleaseRun();
  return status;
}
