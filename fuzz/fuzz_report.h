// One fuzzing step over ordavi-report: the input is a timing log, read by
// the real reader; a log it takes is analysed alone and as a job of two, and
// written as text, JSON and the HTML page. Every input must end in a report
// or in a refusal that names the file and the line, and the outputs must
// keep what they promise: text with every control character escaped, JSON
// that parses, a page whose embedded JSON cannot end its script element.
// Shared by the libFuzzer target and the unit test that replays the corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "analysis.h"
#include "output.h"
#include "timing_log.h"

namespace fuzzing {

// Runs `write` on an in-memory stream; returns what it wrote.
template <typename F>
std::string Captured(F write) {
  char* buf = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buf, &size);
  if (!f) abort();
  write(f);
  fclose(f);
  std::string out(buf, size);
  free(buf);
  return out;
}

// "" when the input ended as it must; otherwise what went wrong.
inline std::string FuzzReport(const uint8_t* data, size_t size) {
  const std::string name = "fuzz.csv";
  report::Report r;
  try {
    std::vector<std::string> warnings;
    r.logs.push_back(report::ParseTimingLog(
        std::string_view(reinterpret_cast<const char*>(data), size), name, &warnings));
  } catch (const report::LogError& e) {
    static const std::regex kWhere("^fuzz\\.csv:[0-9]+: [^\\n]+$");
    return std::regex_match(e.what(), kWhere) ? ""
                                              : std::string("refusal without a line: ") + e.what();
  }
  r.logs.push_back(r.logs[0]);
  for (const report::TimingLog& log : r.logs) r.analyses.push_back(report::Analyse(log, r.options));
  r.job = report::AnalyseJob(r.logs, r.analyses);

  std::string text = Captured([&](FILE* f) { report::WriteText(f, r); });
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
              static_cast<unsigned char>(text[i + 1]) >= 0x80;
    if ((c < 0x20 && c != '\n') || c == 0x7F || c1)
      return "a control character in the text report at byte " + std::to_string(i);
  }

  nlohmann::ordered_json doc = report::ToJson(r);
  std::string json = doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  if (!nlohmann::json::accept(json)) return "the JSON document does not parse";

  std::string page = Captured([&](FILE* f) { report::WriteHtml(f, r, doc); });
  const std::string open = "<script type=\"application/json\" id=\"summary\">";
  size_t from = page.find(open);
  if (from == std::string::npos) return "the page has no summary element";
  from += open.size();
  size_t to = page.find("</script>", from);
  if (to == std::string::npos) return "the summary element does not end";
  std::string embedded = page.substr(from, to - from);
  if (embedded.find_first_of("<>&") != std::string::npos ||
      embedded.find("\xE2\x80\xA8") != std::string::npos ||
      embedded.find("\xE2\x80\xA9") != std::string::npos)
    return "the embedded JSON holds a character the page must escape";
  if (!nlohmann::json::accept(embedded)) return "the embedded JSON does not parse";
  return "";
}

}  // namespace fuzzing
