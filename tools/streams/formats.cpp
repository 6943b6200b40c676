// The format catalogue.
//
// Uncompressed formats (UYVY, v210, DPX, OpenEXR) are arithmetic on the
// raster: bytes per pixel times pixels, image data only (no file header).
// DNxHR writes a constant number of bytes per frame; the figures marked
// "published" are from a post-production integrator's DNxHR table, the others
// are scaled from the published UHD figure of the same quality by the number
// of 16x16 macroblocks. ProRes has a target data rate per resolution; the
// targets grow in proportion to the frame rate, so the bytes per frame are
// the 29.97 fps target / 8 / 29.97, a ceiling that real frames stay 5-10 %
// under. Every size is rounded up to a multiple of 4096 bytes.
#include "formats.h"

#include <algorithm>

namespace streams {

namespace {

constexpr int64_t Raster(int64_t w, int64_t h, int64_t num, int64_t den) {
  return RoundUp4k(w * h * num / den);
}

// 16x16 macroblocks of a raster (lines rounded up to a whole macroblock).
constexpr int64_t Macroblocks(int64_t w, int64_t h) { return (w / 16) * ((h + 15) / 16); }

constexpr int64_t ScaledDnxhr(int64_t uhdBytes, int64_t w, int64_t h) {
  return RoundUp4k(uhdBytes * Macroblocks(w, h) / Macroblocks(3840, 2160));
}

// Megabits per second at 29.97 fps, as a per-frame ceiling.
constexpr int64_t ProRes(int64_t megabits) {
  return RoundUp4k(megabits * 1000000 * 100 / 8 / 2997);
}

const char kCalc[] = "raster arithmetic";
const char kDnxPub[] = "published DNxHR table";
const char kDnxScaled[] = "scaled from the published UHD figure by macroblocks";
const char kProRes[] = "ProRes white paper target at 29.97 fps / 8 / 29.97";

// Published DNxHR UHD (3840x2160) bytes per frame.
constexpr int64_t kDnxUhd444 = 7286784, kDnxUhdHqx = 3641344, kDnxUhdHq = 3641344,
                  kDnxUhdSq = 2408448, kDnxUhdLb = 749568;

}  // namespace

const std::vector<Format>& Catalogue() {
  static const std::vector<Format> formats = {
      {"uyvy-hd", "uncompressed 8-bit 4:2:2 (UYVY), 1920x1080", Raster(1920, 1080, 2, 1), kCalc},
      {"uyvy-uhd", "uncompressed 8-bit 4:2:2 (UYVY), 3840x2160", Raster(3840, 2160, 2, 1), kCalc},
      {"v210-hd", "uncompressed 10-bit 4:2:2 (v210), 1920x1080", Raster(1920, 1080, 128, 48),
       kCalc},
      {"v210-uhd", "uncompressed 10-bit 4:2:2 (v210), 3840x2160", Raster(3840, 2160, 128, 48),
       kCalc},
      {"dpx10-hd", "DPX 10-bit RGB, 1920x1080", Raster(1920, 1080, 4, 1), kCalc},
      {"dpx10-2k", "DPX 10-bit RGB, 2048x1556", Raster(2048, 1556, 4, 1), kCalc},
      {"dpx10-uhd", "DPX 10-bit RGB, 3840x2160", Raster(3840, 2160, 4, 1), kCalc},
      {"dpx10-4k", "DPX 10-bit RGB, 4K DCI 4096x2160", Raster(4096, 2160, 4, 1), kCalc},
      {"exr-half-rgb-hd", "OpenEXR half RGB uncompressed, 1920x1080", Raster(1920, 1080, 6, 1),
       kCalc},
      {"exr-half-rgba-hd", "OpenEXR half RGBA uncompressed, 1920x1080", Raster(1920, 1080, 8, 1),
       kCalc},
      {"exr-half-rgb-uhd", "OpenEXR half RGB uncompressed, 3840x2160", Raster(3840, 2160, 6, 1),
       kCalc},
      {"exr-half-rgba-uhd", "OpenEXR half RGBA uncompressed, 3840x2160", Raster(3840, 2160, 8, 1),
       kCalc},
      {"dnxhr-lb-hd", "DNxHR LB, 1920x1080", ScaledDnxhr(kDnxUhdLb, 1920, 1080), kDnxScaled},
      {"dnxhr-sq-hd", "DNxHR SQ, 1920x1080", ScaledDnxhr(kDnxUhdSq, 1920, 1080), kDnxScaled},
      {"dnxhr-hq-hd", "DNxHR HQ, 1920x1080", ScaledDnxhr(kDnxUhdHq, 1920, 1080), kDnxScaled},
      {"dnxhr-hqx-hd", "DNxHR HQX, 1920x1080", ScaledDnxhr(kDnxUhdHqx, 1920, 1080), kDnxScaled},
      {"dnxhr-444-hd", "DNxHR 444, 1920x1080", ScaledDnxhr(kDnxUhd444, 1920, 1080), kDnxScaled},
      {"dnxhr-lb-uhd", "DNxHR LB, 3840x2160", kDnxUhdLb, kDnxPub},
      {"dnxhr-sq-uhd", "DNxHR SQ, 3840x2160", kDnxUhdSq, kDnxPub},
      {"dnxhr-hq-uhd", "DNxHR HQ, 3840x2160", kDnxUhdHq, kDnxPub},
      {"dnxhr-hqx-uhd", "DNxHR HQX, 3840x2160", kDnxUhdHqx, kDnxPub},
      {"dnxhr-444-uhd", "DNxHR 444, 3840x2160", kDnxUhd444, kDnxPub},
      {"dnxhr-lb-4k", "DNxHR LB, 4K DCI 4096x2160", ScaledDnxhr(kDnxUhdLb, 4096, 2160), kDnxScaled},
      {"dnxhr-sq-4k", "DNxHR SQ, 4K DCI 4096x2160", ScaledDnxhr(kDnxUhdSq, 4096, 2160), kDnxScaled},
      {"dnxhr-hq-4k", "DNxHR HQ, 4K DCI 4096x2160", ScaledDnxhr(kDnxUhdHq, 4096, 2160), kDnxScaled},
      {"dnxhr-hqx-4k", "DNxHR HQX, 4K DCI 4096x2160", 3887104, kDnxPub},
      {"dnxhr-444-4k", "DNxHR 444, 4K DCI 4096x2160", 7770112, kDnxPub},
      {"prores-proxy-hd", "Apple ProRes 422 Proxy, 1920x1080", ProRes(45), kProRes},
      {"prores-lt-hd", "Apple ProRes 422 LT, 1920x1080", ProRes(102), kProRes},
      {"prores-422-hd", "Apple ProRes 422, 1920x1080", ProRes(147), kProRes},
      {"prores-hq-hd", "Apple ProRes 422 HQ, 1920x1080", ProRes(220), kProRes},
      {"prores-4444-hd", "Apple ProRes 4444, 1920x1080", ProRes(330), kProRes},
      {"prores-4444xq-hd", "Apple ProRes 4444 XQ, 1920x1080", ProRes(500), kProRes},
      {"prores-proxy-uhd", "Apple ProRes 422 Proxy, 3840x2160", ProRes(145), kProRes},
      {"prores-lt-uhd", "Apple ProRes 422 LT, 3840x2160", ProRes(328), kProRes},
      {"prores-422-uhd", "Apple ProRes 422, 3840x2160", ProRes(471), kProRes},
      {"prores-hq-uhd", "Apple ProRes 422 HQ, 3840x2160", ProRes(707), kProRes},
      {"prores-4444-uhd", "Apple ProRes 4444, 3840x2160", ProRes(1061), kProRes},
      {"prores-4444xq-uhd", "Apple ProRes 4444 XQ, 3840x2160", ProRes(1591), kProRes},
  };
  return formats;
}

const Format* FindFormat(const std::string& name) {
  for (const Format& f : Catalogue())
    if (name == f.name) return &f;
  return nullptr;
}

namespace {

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) row[j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    size_t diag = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); j++) {
      size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

}  // namespace

std::vector<std::string> NearestFormats(const std::string& name, size_t count) {
  // A name the given text begins comes first ("dnxhr-hqx" finds the three
  // sizes of DNxHR HQX), then the fewest edits.
  std::vector<std::pair<size_t, std::string>> ranked;
  for (const Format& f : Catalogue()) {
    std::string n = f.name;
    size_t rank = n.rfind(name, 0) == 0 && !name.empty() ? 0 : 1 + EditDistance(name, n);
    ranked.emplace_back(rank, n);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> names;
  for (size_t i = 0; i < ranked.size() && i < count; i++) names.push_back(ranked[i].second);
  return names;
}

}  // namespace streams
