// Figures of the live screen for frames that took no measurable time (empty
// frames, a frame within one clock tick): a rate over a span of 0 shows 0,
// never "nan" or "inf".
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "report/display_screen.h"

namespace {

TEST(Figures, ZeroTimeFramesShowNoNanOrInf) {
  // Every record opens, transfers and closes within the same tick.
  std::vector<TIME_STATS> stats(3);
  for (int i = 0; i < 3; i++) {
    TIME_STATS& r = stats[size_t(i)];
    r.Start = r.EoOpenCreate = r.EoReadWrite = r.EoClose = 1000000 + i * 500000;
  }
  static const std::regex kBad(R"((^|[ (])-?(nan|inf)\b)", std::regex::icase);
  for (int dataSize : {0, 4096}) {
    SCOPED_TRACE(dataSize);
    DisplaySettings settings;
    settings.perfTime = 1e-6;
    settings.perfFreq = 1000000;
    settings.dataSize = dataSize;
    settings.histogramPeriod = 5;
    settings.paramsAsStr = "-w0 -n3 ";
    DisplayState state;
    ClearHistogram(&state.hist);
    auto screen = std::make_unique<Screen>();
    RefreshScreen(&state, stats.data(), 3, 1000000, settings, screen.get());
    const std::string text = FormatScreen(*screen, settings);
    EXPECT_FALSE(std::regex_search(text, kBad)) << text;
    EXPECT_NE(text.find("Fastest frame:        0.000 ms (0.00 MB/s)"), std::string::npos) << text;
  }
}

}  // namespace
