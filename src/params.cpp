#include "params.h"

#include <cstring>

// Every scalar parameter with its default, written once: the definitions and
// ResetParameters both come from this table.
#define ORDAVI_SCALAR_PARAMS(X)    \
  X(int, g_numFrames, 1800)        \
  X(int, g_numOps, 0)              \
  X(int, g_testMode, kSyncTest)    \
  X(int, g_frameRate, 0)           \
  X(int, g_frameQueueSize, 0)      \
  X(int, g_framePreBufferCount, 5) \
  X(BOOL, g_streamMode, FALSE)     \
  X(int, g_fileSize, 0)            \
  X(int, g_headerSize, 64)         \
  X(int, g_iosPerFrame, 1)         \
  X(int, g_loopFrames, 0)          \
  X(int, g_cropMode, 0)            \
  X(int, g_numFilesPerDir, 0)      \
  X(int, g_firstFileNum, 0)        \
  X(BOOL, g_isReverse, FALSE)      \
  X(BOOL, g_isRandom, FALSE)       \
  X(BOOL, g_isOutOfOrderIo, FALSE) \
  X(BOOL, g_bufferedIo, FALSE)     \
  X(int, g_pause, 0)               \
  X(int, g_updateInterval, 1)      \
  X(int, g_histogramPeriod, 0)     \
  X(BOOL, g_isVerbose, FALSE)      \
  X(BOOL, g_noInfo, FALSE)         \
  X(int, g_dataSize, 0)            \
  X(int, g_ioSize, 0)              \
  X(int, g_ioOffset, 0)

// The name patterns, likewise.
#define ORDAVI_TEXT_PARAMS(X)        \
  X(g_fileName, 80, "frame%06d.tst") \
  X(g_dirName, 80, "part%02d")

#define ORDAVI_DEFINE_SCALAR(type, name, value) type name = value;
#define ORDAVI_DEFINE_TEXT(name, size, value) char name[size] = value;
ORDAVI_SCALAR_PARAMS(ORDAVI_DEFINE_SCALAR)
ORDAVI_TEXT_PARAMS(ORDAVI_DEFINE_TEXT)

char g_paramsAsStr[256] = "";

unsigned char* g_randomNumsUsed = nullptr;

void ResetParameters() {
#define ORDAVI_RESET_SCALAR(type, name, value) name = value;
#define ORDAVI_RESET_TEXT(name, size, value)                           \
  static_assert(sizeof(value) <= size, "default too long for " #name); \
  memcpy(name, value, sizeof(value));
  ORDAVI_SCALAR_PARAMS(ORDAVI_RESET_SCALAR)
  ORDAVI_TEXT_PARAMS(ORDAVI_RESET_TEXT)
  g_paramsAsStr[0] = '\0';
}
