// DER reading for the token providers.
#include "platform/soft/crypto/SoftDer.h"

namespace {

// Parses tag and length; *header gets the header's size.
bool Header(const uint8_t* p, size_t available, uint8_t* tag, size_t* header, size_t* length) {
  if (available < 2) return false;
  *tag = p[0];
  if ((p[0] & 0x1F) == 0x1F) return false;  // multi-octet tags are not used here
  const uint8_t first = p[1];
  if (first < 0x80) {
    *header = 2;
    *length = first;
    return true;
  }
  const size_t count = first & 0x7F;
  if (count == 0 || count > 4 || available < 2 + count) return false;
  size_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | p[2 + i];
  if (value < 0x80) return false;  // not the shortest form
  *header = 2 + count;
  *length = value;
  return true;
}

}  // namespace

bool SoftDerNext(const uint8_t** p, const uint8_t* end, SoftDerItem* item) {
  if (*p >= end) return false;
  const size_t available = static_cast<size_t>(end - *p);
  size_t header = 0, length = 0;
  if (!Header(*p, available, &item->tag, &header, &length)) return false;
  if (length > available - header) return false;
  item->content = *p + header;
  item->size = length;
  *p += header + length;
  return true;
}

bool SoftDerExpect(const uint8_t** p, const uint8_t* end, uint8_t tag, SoftDerItem* item) {
  const uint8_t* start = *p;
  if (!SoftDerNext(p, end, item) || item->tag != tag) {
    *p = start;
    return false;
  }
  return true;
}

size_t SoftDerTotalLength(const uint8_t* p, size_t limit) {
  uint8_t tag;
  size_t header = 0, length = 0;
  if (p == nullptr || !Header(p, 6, &tag, &header, &length)) return 0;
  if (length > limit || header + length > limit) return 0;
  return header + length;
}

namespace {

// DER contents of the object identifiers the RSA envelope names.
const uint8_t kOidRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const uint8_t kOidTripleDesEcb[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0xA6, 0x41, 0x01, 0x07};

}  // namespace

bool SoftDerReadRsaEnvelope(const uint8_t* data, size_t size, SoftDerItem* wrappedSession,
                            SoftDerItem* wrappedKey) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  SoftDerItem seq, version, asym, sym;
  if (!SoftDerExpect(&p, end, 0x30, &seq) || p != end) return false;
  p = seq.content;
  end = seq.content + seq.size;
  return SoftDerExpect(&p, end, 0x02, &version) && version.size == 1 && version.content[0] == 1 &&
         SoftDerExpect(&p, end, 0x06, &asym) && SoftDerIsOid(asym, kOidRsaEncryption) &&
         SoftDerExpect(&p, end, 0x06, &sym) && SoftDerIsOid(sym, kOidTripleDesEcb) &&
         SoftDerExpect(&p, end, 0x04, wrappedSession) && SoftDerExpect(&p, end, 0x04, wrappedKey) &&
         p == end;
}
