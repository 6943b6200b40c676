#include "escape.h"

#include <cstdio>

namespace report {
namespace {

// The length of the UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and code points beyond U+10FFFF included).
size_t Utf8Length(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
  auto cont = [&](size_t k) { return (byte(k) & 0xC0) == 0x80; };
  unsigned c = byte(i);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(i + 1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned c1 = byte(i + 1);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0)) return 0;
    return cont(i + 1) && cont(i + 2) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned c1 = byte(i + 1);
    if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90)) return 0;
    return cont(i + 1) && cont(i + 2) && cont(i + 3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::string ForTerminal(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = Utf8Length(s, i);
    // U+0080..U+009F are C2 80..C2 9F in UTF-8.
    bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    if (n == 1 && c >= 0x20 && c != 0x7F) {
      out += char(c);
    } else if (n > 1 && !c1) {
      out.append(s.substr(i, n));
    } else {
      size_t k = c1 ? 2 : 1;
      for (size_t j = i; j < i + k; j++) {
        unsigned char b = static_cast<unsigned char>(s[j]);
        char buf[8];
        if (b == '\n')
          out += "\\n";
        else if (b == '\t')
          out += "\\t";
        else if (b == '\r')
          out += "\\r";
        else
          out.append(buf, size_t(snprintf(buf, sizeof buf, "\\x%02x", b)));
      }
      n = k;
    }
    i += n;
  }
  return out;
}

std::string ForScript(std::string_view json) {
  std::string out;
  out.reserve(json.size() + json.size() / 16);
  for (size_t i = 0; i < json.size(); i++) {
    char c = json[i];
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (c == '\xE2' && i + 2 < json.size() && json[i + 1] == '\x80' &&
               (json[i + 2] == '\xA8' || json[i + 2] == '\xA9')) {
      out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace report
