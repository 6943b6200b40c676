// The comparison's judgements and the Prometheus writer: its escaping, its
// numbers and its file that appears whole or not at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "compare.h"
#include "metrics.h"

namespace {

using namespace results;

TEST(Compare, JudgementsByDirectionAndTolerance) {
  const auto H = Direction::kHigherIsBetter, L = Direction::kLowerIsBetter, F = Direction::kFlag;
  const auto B = Judgement::kBetter, S = Judgement::kSame, W = Judgement::kWorse;
  // direction, baseline, now, tolerance %, judgement, change % (NaN: from 0)
  const std::tuple<Direction, double, double, double, Judgement, double> cases[] = {
      {H, 100, 111, 10, B, 11}, {H, 100, 110, 10, S, 10},  // the tolerance is inclusive
      {H, 100, 89, 10, W, -11}, {L, 100, 111, 10, W, 11},  {L, 100, 89, 10, B, -11},
      {L, 0, 0, 10, S, 0},      {L, 0, 2, 10, W, NAN},     {H, 0, 2, 10, B, NAN},
      {H, 24, 24, 0, S, 0},     {L, 8, 8.01, 0, W, 0.125}, {F, 1, 0, 1000, W, -100},
      {F, 0, 1, 1000, B, NAN},  {F, 1, 1, 0, S, 0},
  };
  for (const auto& [dir, base, now, tol, judgement, change] : cases) {
    ComparedFigure c = Judge({"x", dir, base, now}, tol);
    SCOPED_TRACE(std::to_string(base) + " -> " + std::to_string(now));
    EXPECT_EQ(c.judgement, judgement);
    if (std::isnan(change))
      EXPECT_TRUE(std::isnan(c.changePct));
    else
      EXPECT_NEAR(c.changePct, change, 1e-9);
  }
  // A floor: a time 5 µs -> 8 µs is +60 %, within 0.1 ms; 5 µs -> 0.2 ms is not.
  EXPECT_EQ(std::pair(Judge({"t", L, 0.005, 0.008, 0.1}, 10).judgement,
                      Judge({"t", L, 0.005, 0.2, 0.1}, 10).judgement),
            std::pair(S, W));
}

TEST(Compare, FiguresMatchedByNameAndFieldsChecked) {
  Comparison c;
  CompareFigures({{"fps", Direction::kHigherIsBetter, 0, 24}, {"at 60", Direction::kFlag, 0, 1}},
                 {{"at 30", Direction::kFlag, 0, 1}, {"fps", Direction::kHigherIsBetter, 0, 12}},
                 &c);
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(std::tuple(c.rows[0].figure.baseline, c.rows[0].figure.now, c.Count(Judgement::kWorse),
                       c.notes),
            std::tuple(24.0, 12.0, 1,
                       std::vector<std::string>{"at 30: not in the baseline",
                                                "at 60: only in the baseline"}));
  CheckFields({{"engine", "sync", "async"}, {"size", "4", "4"}}, {{"host", "a", "b"}}, &c);
  EXPECT_EQ(std::tuple(DescribeFields(c.mismatches), c.differences.size()),
            std::tuple("engine (sync in the baseline, async now)", 1u));
}

TEST(Metrics, ExpositionTextEscapedAndExact) {
  std::vector<MetricFamily> f = {
      {"ordavi_a_seconds",
       "Help with \\ and\na line feed.",
       "gauge",
       {{{{"target", "/mnt/a \"b\" \\c\nd"}, {"rate", "24"}}, 0.1 + 0.2}, {{}, NAN}}},
      {"ordavi_empty", "Nothing.", "gauge", {}},
      {"ordavi_b_ratio", "B.", "gauge", {{{}, 1e-6}}}};
  EXPECT_EQ(FormatMetrics(f),
            "# HELP ordavi_a_seconds Help with \\\\ and\\na line feed.\n"
            "# TYPE ordavi_a_seconds gauge\n"
            "ordavi_a_seconds{target=\"/mnt/a \\\"b\\\" \\\\c\\nd\",rate=\"24\"} "
            "0.30000000000000004\n"
            "ordavi_a_seconds NaN\n"
            "# HELP ordavi_b_ratio B.\n# TYPE ordavi_b_ratio gauge\nordavi_b_ratio 1e-06\n");
}

// The file replaces an older one whole, with the umask's permissions, and
// no temporary file stays behind, also when the rename fails.
TEST(Metrics, FileWrittenWholeOrNotAtAll) {
  namespace fs = std::filesystem;
  fs::path dir = fs::current_path() / ("metrics-test-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "taken.prom");
  std::ofstream(dir / "m.prom") << "old";
  mode_t old = umask(027);
  std::string error;
  EXPECT_TRUE(WriteFileAtomically((dir / "m.prom").string(), "new\n", &error)) << error;
  umask(old);
  struct stat st;
  ASSERT_EQ(stat((dir / "m.prom").c_str(), &st), 0);
  std::ifstream in(dir / "m.prom");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::tuple(text, st.st_mode & 0777), std::tuple("new\n", 0640u));
  EXPECT_FALSE(WriteFileAtomically((dir / "taken.prom").string(), "x\n", &error));
  EXPECT_EQ(error, "cannot write " + (dir / "taken.prom").string() + ": Is a directory");
  EXPECT_FALSE(WriteFileAtomically((dir / "no/m.prom").string(), "x\n", &error));
  EXPECT_NE(error.find("cannot create a temporary file beside"), std::string::npos) << error;
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"m.prom", "taken.prom"}));
  fs::remove_all(dir);
}

}  // namespace
