#include "support/Base64Text.h"

#include <openssl/evp.h>

std::vector<unsigned char> Unbase64(const std::string& text) {
  std::string plain;
  for (char c : text)
    if (c != '\r' && c != '\n') plain.push_back(c);
  std::vector<unsigned char> out(plain.size() + 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(plain.data()),
                                static_cast<int>(plain.size()));
  if (n < 0) return {};
  size_t pad = 0;
  for (size_t i = plain.size(); i > 0 && plain[i - 1] == '='; --i) ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}
