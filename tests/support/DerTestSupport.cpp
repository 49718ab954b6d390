#include "support/DerTestSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "encoding/Buffer.h"
#include "support/TestSupport.h"

Bytes FromHex(const std::string& hex) {
  Bytes out;
  int pending = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (pending < 0) {
      pending = v;
    } else {
      out.push_back(static_cast<unsigned char>(pending * 16 + v));
      pending = -1;
    }
  }
  return out;
}

std::string ToHex(const unsigned char* data, size_t length) {
  std::string out;
  char pair[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, i ? " %02X" : "%02X", data[i]);
    out += pair;
  }
  return out;
}

Bytes TakeBuffer(unsigned char* data, size_t length) {
  Bytes out;
  if (data != nullptr) out.assign(data, data + length);
  FreeBuffer(data);
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
