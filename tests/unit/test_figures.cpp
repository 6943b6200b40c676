// A frame that took no measurable time (an empty frame, one within a clock
// tick) shows a rate of 0 on the live screen, never "nan" or "inf".
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "report/display_screen.h"

namespace {

TEST(Figures, ZeroTimeFramesShowNoNanOrInf) {
  TIME_STATS stats[3] = {};
  for (int i = 0; i < 3; i++)
    stats[i].Start = stats[i].EoOpenCreate = stats[i].EoReadWrite = stats[i].EoClose =
        1000000 + i * 500000;
  for (int dataSize : {0, 4096}) {
    DisplaySettings settings{1e-6, 1000000, dataSize, 5, 0, "-w0 -n3 "};
    DisplayState state{};  // an empty histogram
    auto screen = std::make_unique<Screen>();
    RefreshScreen(&state, stats, 3, 1000000, settings, screen.get());
    const std::string text = FormatScreen(*screen, settings);
    EXPECT_FALSE(std::regex_search(text, std::regex(R"((^|[ (])-?(nan|inf)\b)", std::regex::icase)))
        << text;
    EXPECT_NE(text.find("Fastest frame:        0.000 ms (0.00 MB/s)"), std::string::npos) << text;
  }
}

}  // namespace
