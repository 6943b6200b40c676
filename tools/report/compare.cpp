#include "compare.h"

#include <cmath>
#include <limits>
#include <map>

namespace results {

const char* JudgementName(Judgement j) {
  return j == Judgement::kBetter ? "better" : j == Judgement::kWorse ? "worse" : "same";
}

ComparedFigure Judge(const Figure& f, double tolerancePct) {
  ComparedFigure c;
  c.figure = f;
  double diff = f.now - f.baseline;
  if (f.baseline != 0)
    c.changePct = diff / std::fabs(f.baseline) * 100;
  else
    c.changePct = diff == 0 ? 0 : std::numeric_limits<double>::quiet_NaN();
  if (diff == 0 || std::fabs(diff) <= f.floor) return c;
  bool up = diff > 0;
  bool beyond =
      f.direction == Direction::kFlag || f.baseline == 0 || std::fabs(c.changePct) > tolerancePct;
  if (!beyond) return c;
  bool better = f.direction == Direction::kLowerIsBetter ? !up : up;
  c.judgement = better ? Judgement::kBetter : Judgement::kWorse;
  return c;
}

int Comparison::Count(Judgement j) const {
  int n = 0;
  for (const ComparedFigure& r : rows) n += r.judgement == j;
  return n;
}

void CheckFields(const std::vector<Field>& mustMatch, const std::vector<Field>& shown,
                 Comparison* c) {
  for (const Field& f : mustMatch)
    if (f.baseline != f.now) c->mismatches.push_back(f);
  for (const Field& f : shown)
    if (f.baseline != f.now) c->differences.push_back(f);
}

void CompareFigures(const std::vector<Figure>& baseline, const std::vector<Figure>& now,
                    Comparison* c) {
  std::map<std::string, const Figure*> before;
  for (const Figure& f : baseline) before[f.name] = &f;
  for (const Figure& f : now) {
    auto it = before.find(f.name);
    if (it == before.end()) {
      c->notes.push_back(f.name + ": not in the baseline");
      continue;
    }
    Figure both = f;
    both.baseline = it->second->now;
    c->rows.push_back(Judge(both, c->tolerancePct));
    before.erase(it);
  }
  for (const Figure& f : baseline)
    if (before.count(f.name)) c->notes.push_back(f.name + ": only in the baseline");
}

std::string DescribeFields(const std::vector<Field>& fields) {
  std::string s;
  for (const Field& f : fields) {
    if (!s.empty()) s += ", ";
    s += f.name + " (" + f.baseline + " in the baseline, " + f.now + " now)";
  }
  return s;
}

namespace {

using json = nlohmann::ordered_json;

json FieldsJson(const std::vector<Field>& fields) {
  json a = json::array();
  for (const Field& f : fields)
    a.push_back({{"field", f.name}, {"baseline", f.baseline}, {"now", f.now}});
  return a;
}

const char* DirectionName(Direction d) {
  return d == Direction::kHigherIsBetter  ? "higher_is_better"
         : d == Direction::kLowerIsBetter ? "lower_is_better"
                                          : "flag";
}

std::string Value(const Figure& f, double v) {
  if (f.direction == Direction::kFlag) return v != 0 ? "yes" : "NO";
  char buf[32];
  snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

}  // namespace

json ToJson(const Comparison& c) {
  json rows = json::array();
  for (const ComparedFigure& r : c.rows)
    rows.push_back({{"figure", r.figure.name},
                    {"direction", DirectionName(r.figure.direction)},
                    {"baseline", r.figure.baseline},
                    {"now", r.figure.now},
                    {"change_pct", std::isnan(r.changePct) ? json(nullptr) : json(r.changePct)},
                    {"floor", r.figure.floor},
                    {"judgement", JudgementName(r.judgement)}});
  return {{"baseline_file", c.baselineFile},
          {"tolerance_pct", c.tolerancePct},
          {"forced", c.forced},
          {"mismatches", FieldsJson(c.mismatches)},
          {"differences", FieldsJson(c.differences)},
          {"better", c.Count(Judgement::kBetter)},
          {"same", c.Count(Judgement::kSame)},
          {"worse", c.Count(Judgement::kWorse)},
          {"figures", rows},
          {"notes", c.notes}};
}

void WriteText(FILE* out, const Comparison& c) {
  fprintf(out, "Compared with %s (tolerance %g%%%s%s): %d better, %d same, %d worse\n",
          c.baselineFile.c_str(), c.tolerancePct, c.floorNote.empty() ? "" : "; ",
          c.floorNote.c_str(), c.Count(Judgement::kBetter), c.Count(Judgement::kSame),
          c.Count(Judgement::kWorse));
  if (c.forced)
    fprintf(out, "  FORCED: the runs differ in %s\n", DescribeFields(c.mismatches).c_str());
  if (!c.differences.empty())
    fprintf(out, "  differences: %s\n", DescribeFields(c.differences).c_str());
  fprintf(out, "\n  %-28s %12s %12s %9s  %s\n", "figure", "baseline", "now", "change", "judgement");
  for (const ComparedFigure& r : c.rows) {
    char change[32] = "-";
    if (r.figure.direction != Direction::kFlag && std::isnan(r.changePct))
      snprintf(change, sizeof change, "from 0");
    else if (r.figure.direction != Direction::kFlag)
      snprintf(change, sizeof change, "%+.1f%%", r.changePct);
    fprintf(out, "  %-28s %12s %12s %9s  %s\n", r.figure.name.c_str(),
            Value(r.figure, r.figure.baseline).c_str(), Value(r.figure, r.figure.now).c_str(),
            change, JudgementName(r.judgement));
  }
  for (const std::string& n : c.notes) fprintf(out, "  (%s)\n", n.c_str());
  fprintf(out, "\n");
}

}  // namespace results
