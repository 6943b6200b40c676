// The self-contained HTML page: the template, uPlot, the JSON document and
// the per-frame series as binary arrays, all inline.
#include <algorithm>

#include "base64.h"
#include "escape.h"
#include "output.h"
#include "report_assets.h"

namespace report {

using json = nlohmann::ordered_json;

bool WriteHtml(FILE* out, const Report& r, const json& doc) {
  // The page's template holds the markers below; everything is inline so
  // the file opens offline.
  std::string page(kPageHtml, kPageHtmlSize);
  auto put = [&](const std::string& s) { return fwrite(s.data(), 1, s.size(), out) == s.size(); };
  auto cut = [&](const std::string& marker, std::string* before) {
    size_t at = page.find(marker);
    *before = page.substr(0, at);
    page = at == std::string::npos ? "" : page.substr(at + marker.size());
  };
  std::string part;
  bool ok = true;

  // The whole JSON document goes into the page; the per-frame series it has
  // no room for follow as binary arrays.
  std::string js = ForScript(doc.dump(-1, ' ', false, json::error_handler_t::replace));

  cut("@UPLOT_CSS@", &part);
  ok = ok && put(part) && fwrite(kUplotCss, 1, kUplotCssSize, out) == kUplotCssSize;
  cut("@UPLOT_LICENSE@", &part);
  ok = ok && put(part) && fwrite(kUplotLicense, 1, kUplotLicenseSize, out) == kUplotLicenseSize;
  cut("@UPLOT_JS@", &part);
  ok = ok && put(part) && fwrite(kUplotJs, 1, kUplotJsSize, out) == kUplotJsSize;
  cut("@SUMMARY_JSON@", &part);
  ok = ok && put(part) && put(js);
  cut("@SERIES@", &part);
  ok = ok && put(part);

  // Per log: completion time (s) and file time (ms) of every counted frame,
  // in completion order, and the times of the drops, as little-endian
  // Float32 arrays in base64: about 11 bytes a frame.
  for (size_t l = 0; l < r.logs.size() && ok; l++) {
    const TimingLog& log = r.logs[l];
    const LogAnalysis& a = r.analyses[l];
    std::vector<uint32_t> order(a.counted);
    if (!std::is_sorted(order.begin(), order.end(),
                        [&](uint32_t x, uint32_t y) { return log.close[x] < log.close[y]; }))
      std::stable_sort(order.begin(), order.end(),
                       [&](uint32_t x, uint32_t y) { return log.close[x] < log.close[y]; });
    std::vector<float> x(order.size()), y(order.size());
    for (size_t i = 0; i < order.size(); i++) {
      uint32_t row = order[i];
      x[i] = float(double(log.close[row]) / 1e6);
      y[i] = float(double(log.close[row] - log.start[row]) / 1000);
    }
    std::vector<float> drops;
    // A drop placed after the last completion (the display still showing
    // queued frames) is marked at the chart's right edge.
    for (const DropEvent& d : a.drops)
      drops.push_back(x.empty() ? 0.0f : std::clamp(float(d.timeMs / 1000), x.front(), x.back()));
    ok = put("<script type=\"application/octet-stream\" class=\"series\" data-log=\"" +
             std::to_string(l) + "\" data-x=\"" + Base64(x.data(), x.size() * 4) + "\" data-y=\"" +
             Base64(y.data(), y.size() * 4) + "\" data-drops=\"" +
             Base64(drops.data(), drops.size() * 4) + "\"></script>\n");
  }
  ok = ok && put(page);
  return ok;
}

}  // namespace report
