// The defaults the usage text promises, restored by ResetParameters after a
// command line changed every parameter.
#include <gtest/gtest.h>

#include <iterator>

#include "params.h"

namespace {

TEST(Params, ResetRestoresTheDocumentedDefaults) {
  int* ints[] = {&g_numFrames,      &g_numOps,         &g_testMode,
                 &g_frameRate,      &g_frameQueueSize, &g_framePreBufferCount,
                 &g_streamMode,     &g_fileSize,       &g_headerSize,
                 &g_iosPerFrame,    &g_loopFrames,     &g_cropMode,
                 &g_numFilesPerDir, &g_firstFileNum,   &g_isReverse,
                 &g_isRandom,       &g_isOutOfOrderIo, &g_bufferedIo,
                 &g_pause,          &g_updateInterval, &g_histogramPeriod,
                 &g_isVerbose,      &g_noInfo,         &g_dataSize,
                 &g_ioSize,         &g_ioOffset};
  for (int* p : ints) *p = 77;
  g_fileName[0] = g_dirName[0] = g_paramsAsStr[0] = 'x';
  ResetParameters();
  // -n 1800, -b 5, --header=64, -i 1, -u 1; every other number and flag 0.
  for (size_t i = 0; i < std::size(ints); i++) {
    const int* p = ints[i];
    int expected = p == &g_numFrames                                 ? 1800
                   : p == &g_framePreBufferCount                     ? 5
                   : p == &g_headerSize                              ? 64
                   : (p == &g_iosPerFrame || p == &g_updateInterval) ? 1
                                                                     : 0;
    EXPECT_EQ(*p, expected) << "parameter " << i;
  }
  EXPECT_STREQ(g_fileName, "frame%06d.tst");
  EXPECT_STREQ(g_dirName, "part%02d");
  EXPECT_STREQ(g_paramsAsStr, "");
}

}  // namespace
