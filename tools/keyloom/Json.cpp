#include "keyloom/Json.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`
// (no overlong forms, surrogates or values past U+10FFFF), or 0.
size_t Utf8Length(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || c > 0xF4 || s.size() < n) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((b(i) & 0xC0) != 0x80) return 0;
  if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) >= 0xA0) || (c == 0xF0 && b(1) < 0x90) ||
      (c == 0xF4 && b(1) >= 0x90))
    return 0;
  return n;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      // Well-formed sequences pass; each octet of a broken one becomes
      // U+FFFD, so the line stays valid JSON.
      const size_t n = Utf8Length(text.substr(i));
      if (n == 0) out += "\\ufffd";
      else out.append(text.substr(i, n)), i += n - 1;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
          out += esc;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}
