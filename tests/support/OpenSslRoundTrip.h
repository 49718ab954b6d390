// OpenSSL as an independent DER parser: decode with its d2i_ function,
// encode again with its i2d_ function.
#pragma once

#include "support/TestPki.h"

// The re-encoding of `der` after OpenSSL decoded all of it as a T; empty
// when it refuses the octets or leaves some unread.
template <typename T>
Bytes OpenSslRoundTrip(const Bytes& der, T* (*d2i)(T**, const unsigned char**, long),
                       int (*i2d)(const T*, unsigned char**), void (*release)(T*)) {
  const unsigned char* p = der.data();
  T* object = d2i(nullptr, &p, static_cast<long>(der.size()));
  const Bytes out = object && p == der.data() + der.size() ? I2d<T>(object, i2d) : Bytes();
  if (object != nullptr) release(object);
  return out;
}
