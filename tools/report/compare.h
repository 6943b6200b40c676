// Comparing the figures of a run with those of an earlier one: each figure
// is judged better, same or worse by its direction and a tolerance, and the
// run parameters that make two runs comparable are checked first. Nothing
// here knows where the figures come from.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace results {

// Which way a figure improves. A flag is 1 (good) or 0: losing it is always
// worse and gaining it always better, whatever the tolerance.
enum class Direction { kHigherIsBetter, kLowerIsBetter, kFlag };
enum class Judgement { kBetter, kSame, kWorse };
const char* JudgementName(Judgement j);  // "better", "same", "worse"

struct Figure {
  std::string name;  // "fps", "file p99 ms", "sustained at 24 fps"
  Direction direction = Direction::kHigherIsBetter;
  double baseline = 0, now = 0;
  double floor = 0;  // a change of at most this much (in the figure's unit) is the same
};

struct ComparedFigure {
  Figure figure;
  double changePct = 0;  // NaN when the baseline is 0 and the figure is not
  Judgement judgement = Judgement::kSame;
};

// Judges one figure: within `tolerancePct` of the baseline or within its
// floor (both inclusive) is the same, beyond both better or worse by the
// figure's direction. From a baseline of 0 any change beyond the floor is
// beyond the tolerance.
ComparedFigure Judge(const Figure& f, double tolerancePct);

// A run parameter of both runs, as text.
struct Field {
  std::string name, baseline, now;
};

struct Comparison {
  std::string baselineFile;
  double tolerancePct = 10;
  std::string floorNote;             // how the figures' floors were chosen, for the text
  bool forced = false;               // compared although `mismatches` is not empty
  std::vector<Field> mismatches;     // parameters that must match and do not
  std::vector<Field> differences;    // parameters that may differ and do
  std::vector<ComparedFigure> rows;  // the figures of both runs
  std::vector<std::string> notes;    // figures of one run only
  int Count(Judgement j) const;
};

// Fills `mismatches` (from `mustMatch`) and `differences` (from `shown`)
// with the fields whose two values differ.
void CheckFields(const std::vector<Field>& mustMatch, const std::vector<Field>& shown,
                 Comparison* c);

// Judges the figures present in both lists (matched by name, in the order
// of `now`); the others become notes.
void CompareFigures(const std::vector<Figure>& baseline, const std::vector<Figure>& now,
                    Comparison* c);

// "frame size (4096 in the baseline, 8192 now), engine (sync, async)".
std::string DescribeFields(const std::vector<Field>& fields);

nlohmann::ordered_json ToJson(const Comparison& c);
void WriteText(FILE* out, const Comparison& c);

}  // namespace results
