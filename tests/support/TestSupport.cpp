#include "support/TestSupport.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "encoding/Unicode.h"

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Narrow(const char16_t* text) {
  return text ? Utf16ToUtf8(text) : std::string("(null)");
}

std::string ToHex(const uint8_t* data, size_t size, const char* separator) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    if (i) s += separator;
    s += {digits[data[i] >> 4], digits[data[i] & 15]};
  }
  return s;
}

bool WineDiffers(const char* difference) {
  if (UnderWine()) printf("[ WINE DIFF ] %s\n", difference);
  return UnderWine();
}
