#include "encoding/Json.h"

#include <cstdio>

#include "encoding/Unicode.h"

std::string JsonString(std::string_view text) {
  // Ill-formed UTF-8 (a name or challenge of any octets) becomes U+FFFD.
  const std::string clean = Utf16ToUtf8(Utf8ToUtf16(text));
  std::string out = "\"";
  for (char c : clean) {
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
