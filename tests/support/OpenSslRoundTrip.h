// OpenSSL as an independent DER parser: decode with its d2i_ function,
// encode again with its i2d_ function.
#pragma once

#include <openssl/crypto.h>

#include <vector>

// The re-encoding of `der` after OpenSSL decoded all of it as a T; empty
// when it refuses the octets or leaves some unread.
template <typename T>
std::vector<unsigned char> OpenSslRoundTrip(const std::vector<unsigned char>& der,
                                            T* (*d2i)(T**, const unsigned char**, long),
                                            int (*i2d)(const T*, unsigned char**),
                                            void (*release)(T*)) {
  const unsigned char* p = der.data();
  T* object = d2i(nullptr, &p, static_cast<long>(der.size()));
  std::vector<unsigned char> out;
  if (object != nullptr && p == der.data() + der.size()) {
    unsigned char* again = nullptr;
    const int length = i2d(object, &again);
    if (length > 0) out.assign(again, again + length);
    OPENSSL_free(again);
  }
  if (object != nullptr) release(object);
  return out;
}
