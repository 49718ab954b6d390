// A small DER reader for the structures the token providers receive
// (reference blobs' targets and certificates). It never reads past the
// range it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct SoftDerItem {
  uint8_t tag = 0;
  const uint8_t* content = nullptr;
  size_t size = 0;
};

// Reads one element at *p (bounded by end) and moves *p past it. False on
// a malformed or truncated element, or on indefinite or over-long lengths.
bool SoftDerNext(const uint8_t** p, const uint8_t* end, SoftDerItem* item);

// Reads an element of tag `tag`; false when the next element differs.
bool SoftDerExpect(const uint8_t** p, const uint8_t* end, uint8_t tag, SoftDerItem* item);

// The total length (header and content) of the DER element at `p`, read
// from its header only; 0 when the header is malformed or the total
// exceeds `limit`.
size_t SoftDerTotalLength(const uint8_t* p, size_t limit);

// Whether `item` is the OBJECT IDENTIFIER whose content octets are `oid`.
template <size_t N>
bool SoftDerIsOid(const SoftDerItem& item, const uint8_t (&oid)[N]) {
  return item.tag == 0x06 && item.size == N && std::memcmp(item.content, oid, N) == 0;
}

// The RSA envelope a token opens: SEQUENCE { INTEGER 1, OID rsaEncryption,
// OID 3DES-ECB (1.3.6.1.4.1.4929.1.7), OCTET STRING wrapped session key,
// OCTET STRING wrapped private key }, filling the `size` octets at `data`
// exactly. On success the two OCTET STRINGs' items point into `data`;
// false on any other shape.
bool SoftDerReadRsaEnvelope(const uint8_t* data, size_t size, SoftDerItem* wrappedSession,
                            SoftDerItem* wrappedKey);
