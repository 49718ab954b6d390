// OpenSSL's DER header reader as an independent cutter of encodings, for
// structures OpenSSL's own parsers refuse (the special attribute form).
#pragma once

#include <openssl/asn1.h>

#include <vector>

#include "support/TestSupport.h"

// The whole encodings (tag, length, content) of the elements inside the
// outermost element of `der`, cut with ASN1_get_object; empty when a header
// is malformed.
inline std::vector<Bytes> DerChildren(const Bytes& der) {
  const unsigned char* p = der.data();
  const unsigned char* const end = p + der.size();
  long length = 0;
  int tag = 0, cls = 0;
  std::vector<Bytes> children;
  if (der.empty() || ASN1_get_object(&p, &length, &tag, &cls, end - p) & 0x80) return {};
  while (p < end) {
    const unsigned char* start = p;
    if (ASN1_get_object(&p, &length, &tag, &cls, end - p) & 0x80) return {};
    p += length;
    children.emplace_back(start, p);
  }
  return children;
}

// The octets of a DER BIT STRING after its header and unused-bits octet.
inline Bytes BitStringOctets(const Bytes& bits) {
  const size_t at = bits.size() < 2 ? bits.size() : 3 + (bits[1] & 0x80 ? bits[1] & 0x7F : 0);
  return at <= bits.size() ? Bytes(bits.begin() + at, bits.end()) : Bytes();
}
