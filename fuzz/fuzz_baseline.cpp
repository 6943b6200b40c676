// libFuzzer target over ordavi-report's baseline reader: any text ends in a
// refusal that names the file, or in a document that, compared with itself,
// matches in every parameter and is the same in every figure.
// Build and run with `make fuzz` (clang, ASan and UBSan).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "baseline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name = "fuzz.json";
  try {
    nlohmann::ordered_json doc =
        report::ParseBaseline(std::string(reinterpret_cast<const char*>(data), size), name);
    results::Comparison c = report::CompareWithBaseline(doc, doc, name, 10, 0.1, false);
    if (!c.mismatches.empty() || c.Count(results::Judgement::kSame) != int(c.rows.size())) abort();
    results::ToJson(c).dump();
  } catch (const report::BaselineError& e) {
    if (std::string(e.what()).rfind("baseline " + name + ": ", 0) != 0) abort();
  }
  return 0;
}
