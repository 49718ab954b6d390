// Base64 text as the control hands it out, decoded by OpenSSL.
#pragma once

#include <string>
#include <vector>

// The octets of `text` (line breaks ignored) decoded with EVP_DecodeBlock,
// its padding dropped; empty when OpenSSL refuses the text.
std::vector<unsigned char> Unbase64(const std::string& text);
