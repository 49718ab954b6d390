#include "support/DerTestSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <cctype>

#include "support/TestSupport.h"

Bytes FromHex(const std::string& hex) {
  std::string digits;
  for (char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  Bytes out;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

int OpenSslAsn1Parse(const Bytes& der, std::string* output) {
  char path[] = "/tmp/keyloom-der-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return -1;
  const bool written = write(fd, der.data(), der.size()) == static_cast<ssize_t>(der.size());
  close(fd);
  const int status =
      written ? RunCommand(std::string("openssl asn1parse -inform DER -in ") + path, output, true)
              : -1;
  unlink(path);
  return status;
}
