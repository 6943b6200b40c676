// The catalogue of real video formats a stream can carry: one table, the
// only place that knows a format's name and its bytes per frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace streams {

struct Format {
  const char* name;         // lower case, codec first: "dnxhr-hqx-uhd"
  const char* description;  // "DNxHR HQX, 3840x2160"
  int64_t bytesPerFrame;    // rounded up to a multiple of 4096, as ordavi writes frames
  const char* source;       // where the figure comes from (shown by --formats)
};

// Every format, in the order --formats lists them.
const std::vector<Format>& Catalogue();

// The format of that exact name, or null.
const Format* FindFormat(const std::string& name);

// Up to `count` catalogue names closest to `name` (edit distance), closest first.
std::vector<std::string> NearestFormats(const std::string& name, size_t count);

// Rounds a byte count up to a multiple of 4096.
constexpr int64_t RoundUp4k(int64_t bytes) { return (bytes + 4095) / 4096 * 4096; }

// MiB per second of one stream of `bytesPerFrame` at `fps`.
inline double MiBps(int64_t bytesPerFrame, double fps) {
  return double(bytesPerFrame) * fps / 1048576.0;
}

}  // namespace streams
