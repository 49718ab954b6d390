// A program that links every object of the core and nothing else: if a
// file of the core called OpenSSL, SQLite or libxml2, this would not link.
// Its platform is an empty table; it is built, never run for its result.
#include "base/Platform.h"

const Platform& DefaultPlatform() {
  static const Platform table{};
  return table;
}

int main() { return &Plat() == nullptr; }
