// ResetParameters puts back every kind of parameter a command line changes:
// numbers, flags, name patterns and the echoed command line.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "params.h"

namespace {

auto Parameters() {
  return std::make_tuple(g_numFrames, g_framePreBufferCount, g_iosPerFrame, g_updateInterval,
                         g_headerSize, g_streamMode, std::string(g_fileName),
                         std::string(g_dirName), std::string(g_paramsAsStr));
}

// Taken before main, from the values the parameters were defined with.
const auto kAtStart = Parameters();

TEST(Params, ResetRestoresTheStartingValues) {
  // The defaults the usage text promises: -n 1800, -b 5, -i 1, -u 1, --header=64.
  EXPECT_EQ(kAtStart, std::make_tuple(1800, 5, 1, 1, 64, FALSE, std::string("frame%06d.tst"),
                                      std::string("part%02d"), std::string()));
  g_numFrames = g_iosPerFrame = g_streamMode = 77;
  g_fileName[0] = g_dirName[0] = g_paramsAsStr[0] = 'x';
  g_paramsAsStr[1] = '\0';
  ResetParameters();
  EXPECT_EQ(Parameters(), kAtStart);
}

}  // namespace
