#include "params.h"

#include <cstring>

int g_numFrames = 1800;
int g_numOps = 0;
int g_testMode = 0;
int g_frameRate = 0;
int g_frameQueueSize = 0;
int g_framePreBufferCount = 5;
BOOL g_streamMode = FALSE;
int g_fileSize = 0;
int g_headerSize = 64;
int g_iosPerFrame = 1;
int g_loopFrames = 0;
int g_cropMode = 0;
int g_numFilesPerDir = 0;
char g_fileName[80] = "frame%06d.tst";
char g_dirName[80] = "part%02d";
int g_firstFileNum = 0;
BOOL g_isReverse = FALSE;
BOOL g_isRandom = FALSE;
BOOL g_isOutOfOrderIo = FALSE;
BOOL g_bufferedIo = FALSE;
int g_pause = 0;
int g_updateInterval = 1;
int g_histogramPeriod = 0;
BOOL g_isVerbose = FALSE;
BOOL g_noInfo = FALSE;

int g_dataSize = 0;
int g_ioSize = 0;
int g_ioOffset = 0;

char g_paramsAsStr[256] = "";

unsigned char* g_randomNumsUsed = nullptr;

void ResetParameters() {
  g_numFrames = 1800;
  g_numOps = 0;
  g_testMode = 0;
  g_frameRate = 0;
  g_frameQueueSize = 0;
  g_framePreBufferCount = 5;
  g_streamMode = FALSE;
  g_fileSize = 0;
  g_headerSize = 64;
  g_iosPerFrame = 1;
  g_loopFrames = 0;
  g_cropMode = 0;
  g_numFilesPerDir = 0;
  strcpy(g_fileName, "frame%06d.tst");
  strcpy(g_dirName, "part%02d");
  g_firstFileNum = 0;
  g_isReverse = FALSE;
  g_isRandom = FALSE;
  g_isOutOfOrderIo = FALSE;
  g_bufferedIo = FALSE;
  g_pause = 0;
  g_updateInterval = 1;
  g_histogramPeriod = 0;
  g_isVerbose = FALSE;
  g_noInfo = FALSE;
  g_dataSize = 0;
  g_ioSize = 0;
  g_ioOffset = 0;
  g_paramsAsStr[0] = '\0';
}
