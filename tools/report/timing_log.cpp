#include "timing_log.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "timing_log_format.h"

namespace report {
namespace {

namespace fmt = timing_log;

// No run lasts 100 days: a later stamp is a damaged log, and believing it
// would size the per-second series by it. A stamp that was never written is
// minus the clock's reading at the start of the test (the time since the
// machine started), never a century.
constexpr int64_t kMaxStampUs = int64_t(100) * 86400 * 1000000;
constexpr int64_t kMinStampUs = -int64_t(100) * 366 * 86400 * 1000000;

// Walks the text line by line, keeping the line number for messages.
class Lines {
 public:
  Lines(std::string_view text, const std::string& name) : text_(text), name_(name) {}

  // The next line without its line feed (and without a carriage return
  // before it, for a log that passed through a Windows editor). `whole` is
  // false when the text ended before the line's line feed.
  bool Next(std::string_view* line, bool* whole) {
    if (pos_ >= text_.size()) return false;
    size_t nl = text_.find('\n', pos_);
    *whole = nl != std::string_view::npos;
    size_t end = *whole ? nl : text_.size();
    *line = text_.substr(pos_, end - pos_);
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = *whole ? nl + 1 : text_.size();
    number_++;
    return true;
  }
  int number() const { return number_; }

  [[noreturn]] void Fail(const std::string& what) const {
    throw LogError(name_ + ":" + std::to_string(number_) + ": " + what);
  }

 private:
  std::string_view text_;
  const std::string& name_;
  size_t pos_ = 0;
  int number_ = 0;
};

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// A time printed as "%.3f" milliseconds, into whole microseconds.
bool ParseMicros(std::string_view s, int64_t* out) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && s[i] == '-') {
    neg = true;
    i++;
  }
  if (i >= s.size()) return false;
  int64_t whole = 0;
  size_t digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++, digits++) {
    if (whole > (INT64_MAX / 10 - 9) / 1000) return false;
    whole = whole * 10 + (s[i] - '0');
  }
  int64_t frac = 0;
  size_t fracDigits = 0;
  if (i < s.size() && s[i] == '.') {
    for (i++; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++, fracDigits++) {
      if (fracDigits >= 3) return false;  // more precision than the log ever prints
      frac = frac * 10 + (s[i] - '0');
    }
  }
  if (i != s.size() || digits + fracDigits == 0) return false;
  for (size_t k = fracDigits; k < 3; k++) frac *= 10;
  int64_t v = whole * 1000 + frac;
  *out = neg ? -v : v;
  return true;
}

template <typename T>
bool ParseInt(std::string_view s, T* out) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && p == s.data() + s.size();
}

bool ParseDouble(std::string_view s, double* out) {
  if (s.empty()) return false;
  std::string tmp(s);
  char* end = nullptr;
  *out = strtod(tmp.c_str(), &end);
  return end == tmp.c_str() + tmp.size() && std::isfinite(*out);
}

// Splits at commas into at most `max` fields; returns the count (max + 1
// means there were more).
size_t Split(std::string_view line, std::string_view* fields, size_t max) {
  size_t n = 0, pos = 0;
  while (true) {
    size_t comma = line.find(',', pos);
    if (n == max) return max + 1;
    fields[n++] = line.substr(pos, comma == std::string_view::npos ? comma : comma - pos);
    if (comma == std::string_view::npos) return n;
    pos = comma + 1;
  }
}

std::string Quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s.substr(0, 40)) out += (c >= 32 && c < 127) ? c : '?';
  if (s.size() > 40) out += "...";
  return out + "\"";
}

// "Key,value" with the key checked; returns the value.
std::string_view Field(Lines& lines, std::string_view key, const char* what) {
  std::string_view line;
  bool whole;
  if (!lines.Next(&line, &whole) || !whole)
    lines.Fail(std::string("the log ends inside its header (expected ") + what + ")");
  std::string prefix = std::string(key) + ",";
  if (!StartsWith(line, prefix))
    lines.Fail(std::string("expected ") + what + " (a line beginning \"" + prefix + "\"), found " +
               Quoted(line));
  return line.substr(prefix.size());
}

// A quoted field at the end of a line, read as CSV reads it: a doubled
// quote inside stands for one, and a line feed inside continues the field on
// the next line, until a quote that is neither doubled nor followed by more
// text closes it. Logs of older ordavi builds did not double the quotes of a
// path; a single quote followed by more text on the line is still read as a
// quote of the path, so those logs read as before.
std::string QuotedValue(Lines& lines, std::string_view first, const char* what) {
  if (first.empty() || first.front() != '"')
    lines.Fail(std::string(what) + " is not between double quotes");
  std::string v;
  std::string_view line = first.substr(1);
  bool whole = true;
  while (true) {
    for (size_t i = 0; i < line.size(); i++) {
      if (line[i] != '"') {
        v += line[i];
      } else if (i + 1 == line.size()) {
        return v;  // the closing quote
      } else {
        v += '"';
        if (line[i + 1] == '"') i++;
      }
    }
    if (!lines.Next(&line, &whole) || !whole)
      lines.Fail(std::string("the log ends inside its header (in ") + what + ")");
    v += '\n';
  }
}

void ExpectEmpty(Lines& lines) {
  std::string_view line;
  bool whole;
  if (!lines.Next(&line, &whole) || !whole)
    lines.Fail("the log ends inside its header (expected an empty line)");
  if (!line.empty()) lines.Fail("expected an empty line, found " + Quoted(line));
}

void TableRow(Lines& lines, const char* label, bool paced, LogTableRow* row) {
  std::string_view line;
  bool whole;
  if (!lines.Next(&line, &whole) || !whole)
    lines.Fail(std::string("the log ends inside its summary table (expected the \"") + label +
               "\" row)");
  std::string_view f[7];
  size_t want = paced ? 6 : 5;
  size_t n = Split(line, f, 6);
  double* dst[5] = {&row->file, &row->open, &row->io, &row->close, &row->queue};
  bool ok = n == want && f[0] == label;
  for (size_t i = 1; ok && i < want; i++) ok = ParseDouble(f[i], dst[i - 1]);
  if (!ok)
    lines.Fail(std::string("expected the summary table's \"") + label + "\" row with " +
               std::to_string(want - 1) + " numbers, found " + Quoted(line));
}

}  // namespace

std::string ParseParams(std::string_view text, RunParams* out) {
  RunParams p;
  bool direction = false;
  std::istringstream in{std::string(text)};
  std::string item, error;
  while (error.empty() && in >> item) {
    if (item.size() < 2 || item[0] != '-') continue;
    char c = item[1];
    std::string_view v = std::string_view(item).substr(2);
    // A value of an option that takes one, within what ordavi accepts.
    int64_t n = 0;
    auto value = [&](int64_t lo, int64_t hi) {
      if (!ParseInt(v, &n) || n < lo || n > hi) {
        error = std::string("-") + c + " needs a whole number from " + std::to_string(lo) + " to " +
                std::to_string(hi) + ", not \"" + std::string(v.substr(0, 24)) + "\"";
        n = lo;
      }
      return n;
    };
    switch (c) {
      case 'w':
      case 'z':
        p.isWrite = p.isWrite || c == 'w';
        direction = direction || c == 'w';
        p.frameSizeBytes = value(0, fmt::kMaxFrameSizeKB) * 1024;
        break;
      case 'r':
        p.isWrite = false;
        direction = true;
        break;
      case 'n':
        p.frames = value(fmt::kMinFrames, fmt::kMaxFrames);
        break;
      case 's':
        p.stream = true;
        break;
      case 'a':
        p.engine = "async";
        p.ops = int(value(1, fmt::kMaxAsyncOps));
        break;
      case 't':
        p.engine = "threaded";
        p.ops = int(value(1, fmt::kMaxThreads));
        break;
      case 'f':
        p.frameRate = int(value(0, fmt::kMaxFrameRate));
        break;
      case 'q':
        p.queueSize = int(value(fmt::kMinQueue, fmt::kMaxQueue));
        break;
      case 'b':
        p.preBuffer = int(value(0, fmt::kMaxPreBuffer));
        break;
      case 'i':
        p.iosPerFrame = int(value(fmt::kMinIosPerFrame, fmt::kMaxIosPerFrame));
        break;
      case 'c':
        p.cropPercent = int(value(fmt::kMinCrop, fmt::kMaxCrop));
        break;
      default:
        break;
    }
  }
  if (!error.empty()) return error;
  if (!direction) return "it names no test direction (-w or -r)";
  *out = p;
  return "";
}

TimingLog ParseTimingLog(std::string_view text, const std::string& name,
                         std::vector<std::string>* warnings) {
  TimingLog log;
  log.fileName = name;
  Lines lines(text, name);
  if (text.empty()) throw LogError(name + ":1: the file is empty, not an ordavi timing log");
  {
    std::string_view line;
    bool whole;
    lines.Next(&line, &whole);
    if (!StartsWith(line, "Date,") || !whole)
      lines.Fail("not an ordavi timing log (expected a line beginning \"Date,\", found " +
                 Quoted(line) + ")");
    log.date = std::string(line.substr(5));
  }
  log.time = std::string(Field(lines, "Time", "the Time line"));
  log.version = std::string(Field(lines, "Version", "the Version line"));
  log.os = std::string(Field(lines, "OS", "the OS line"));
  log.hostname = std::string(Field(lines, "Hostname", "the Hostname line"));
  log.testPath = QuotedValue(lines, Field(lines, "TestPath", "the TestPath line"), "TestPath");
  std::string params =
      QuotedValue(lines, Field(lines, "Parameters", "the Parameters line"), "Parameters");
  // ordavi writes one blank after the opening quote and one after each item.
  size_t b = params.find_first_not_of(' ');
  size_t e = params.find_last_not_of(' ');
  log.parameters = b == std::string::npos ? "" : params.substr(b, e - b + 1);
  std::string bad = ParseParams(log.parameters, &log.params);
  if (!bad.empty())
    lines.Fail("the Parameters line " + Quoted(params) + " is not ordavi's: " + bad);

  std::string_view f[4];
  std::string_view v = Field(lines, "FrameRate", "the FrameRate line");
  if (Split(v, f, 2) != 2 || f[1] != "fps" || !ParseDouble(f[0], &log.frameRateFps))
    lines.Fail("expected \"FrameRate,<number>,fps\", found " + Quoted(v));
  v = Field(lines, "Bandwidth", "the Bandwidth line");
  if (Split(v, f, 2) != 2 || f[1] != "MB/s" || !ParseDouble(f[0], &log.bandwidthMiBps))
    lines.Fail("expected \"Bandwidth,<number>,MB/s\", found " + Quoted(v));
  v = Field(lines, "DroppedFrames", "the DroppedFrames line");
  if (!ParseInt(v, &log.droppedFrames))
    lines.Fail("expected \"DroppedFrames,<integer>\", found " + Quoted(v));
  ExpectEmpty(lines);

  std::string_view line;
  bool whole;
  if (!lines.Next(&line, &whole) || !whole) lines.Fail("the log ends before its summary table");
  if (line == fmt::kSummaryHeadingPaced)
    log.paced = true;
  else if (line != fmt::kSummaryHeadingUnpaced)
    lines.Fail(std::string("expected the summary table's heading \"") +
               fmt::kSummaryHeadingUnpaced + "\", found " + Quoted(line));
  if (log.paced &&
      (log.params.frameRate < fmt::kMinFrameRate || log.params.frameRate > fmt::kMaxFrameRate))
    lines.Fail("a paced log whose Parameters line gives no frame rate from " +
               std::to_string(fmt::kMinFrameRate) + " to " + std::to_string(fmt::kMaxFrameRate) +
               " (-f)");
  TableRow(lines, "min", log.paced, &log.tableMin);
  TableRow(lines, "avg", log.paced, &log.tableAvg);
  TableRow(lines, "max", log.paced, &log.tableMax);
  ExpectEmpty(lines);
  const char* head = log.paced ? fmt::kFrameHeadingPaced : fmt::kFrameHeadingUnpaced;
  if (!lines.Next(&line, &whole) || !whole) lines.Fail("the log ends before its frame table");
  if (line != head)
    lines.Fail(std::string("expected the frame table's heading \"") + head + "\", found " +
               Quoted(line));

  // Reserve from the remaining size: a row is at least 20 bytes.
  size_t guess = (text.size() - std::min(text.size(), size_t(400))) / 24;
  for (auto* col : {&log.start, &log.open, &log.io, &log.close}) col->reserve(guess);
  if (log.paced) {
    log.frameTime.reserve(guess);
    log.queue.reserve(guess);
  }
  const size_t want = log.paced ? 7 : 5;
  std::string_view rf[8];
  while (lines.Next(&line, &whole)) {
    size_t n = Split(line, rf, 7);
    int64_t num = -1, t[5] = {0, 0, 0, 0, 0};
    int32_t q = 0;
    bool ok = n == want && ParseInt(rf[0], &num);
    for (size_t i = 1; ok && i < 5; i++) ok = ParseMicros(rf[i], &t[i - 1]);
    if (ok && log.paced) ok = ParseMicros(rf[5], &t[4]) && ParseInt(rf[6], &q);
    for (size_t i = 0; ok && i < 5; i++) ok = t[i] >= kMinStampUs && t[i] <= kMaxStampUs;
    if (!whole) {
      // Each row ends with a line feed: without one, the writer was cut off
      // (a full disk, an interrupted copy), even if the row looks complete.
      log.truncated = true;
      if (warnings)
        warnings->push_back(name + ":" + std::to_string(lines.number()) +
                            ": warning: the log is cut short in the middle of a row; read " +
                            std::to_string(log.rows()) + " whole frame rows");
      break;
    }
    if (line.empty() && lines.Next(&line, &whole))
      lines.Fail("unexpected text after an empty line in the frame table");
    if (line.empty()) break;
    if (!ok)
      lines.Fail("expected a frame row of " + std::to_string(want) +
                 " comma-separated numbers (times within 100 days of the start), found " +
                 Quoted(line));
    if (num != int64_t(log.rows()))
      lines.Fail("expected frame row " + std::to_string(log.rows()) + ", found row " +
                 std::to_string(num));
    log.start.push_back(t[0]);
    log.open.push_back(t[1]);
    log.io.push_back(t[2]);
    log.close.push_back(t[3]);
    if (log.paced) {
      log.frameTime.push_back(t[4]);
      log.queue.push_back(q);
    }
  }
  return log;
}

TimingLog ReadTimingLog(const std::string& path, std::vector<std::string>* warnings) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) throw LogError(path + ": cannot open: " + strerror(errno));
  std::string text;
  char buf[1 << 16];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
  bool err = ferror(f);
  int saved = errno;
  fclose(f);
  if (err) throw LogError(path + ": cannot read: " + strerror(saved));
  return ParseTimingLog(text, path, warnings);
}

}  // namespace report
