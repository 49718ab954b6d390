// Serialized certificate store entries, as the registry keeps them in the
// value "Blob": records of a 32-bit little-endian property id, the value 1,
// a 32-bit length and the bytes; the DER certificate (id 32) comes last.
#include "base/ByteOrder.h"
#include "platform/soft/certs/SoftCert.h"

namespace {

void PutU32(Bytes& out, uint32_t v) {
  out.resize(out.size() + 4);
  StoreLe32(out.data() + out.size() - 4, v);
}

void PutRecord(Bytes& out, DWORD id, const Bytes& value) {
  PutU32(out, id);
  PutU32(out, 1);
  PutU32(out, static_cast<uint32_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

}  // namespace

Bytes SoftSerializeEntry(const SoftCert& cert) {
  Bytes out;
  PutRecord(out, CERT_SHA1_HASH_PROP_ID, SoftCertSha1(cert));
  PutRecord(out, CERT_MD5_HASH_PROP_ID, SoftCertMd5(cert));
  for (const auto& [id, value] : cert.properties)
    if (id != CERT_SHA1_HASH_PROP_ID && id != CERT_MD5_HASH_PROP_ID && id != CERT_CERT_PROP_ID)
      PutRecord(out, id, value);
  PutRecord(out, CERT_CERT_PROP_ID, cert.der);
  return out;
}

bool SoftParseEntry(const BYTE* data, size_t size, std::map<DWORD, Bytes>* properties,
                    Bytes* der) {
  properties->clear();
  der->clear();
  size_t pos = 0;
  bool last = false;
  while (pos < size) {
    if (last || size - pos < 12) return false;  // nothing may follow the certificate
    const uint32_t id = LoadLe32(data + pos);
    const uint32_t one = LoadLe32(data + pos + 4);
    const uint32_t length = LoadLe32(data + pos + 8);
    pos += 12;
    if (one != 1 || length > size - pos) return false;
    Bytes value(data + pos, data + pos + length);
    pos += length;
    if (id == CERT_CERT_PROP_ID) {
      *der = std::move(value);
      last = true;
    } else {
      (*properties)[id] = std::move(value);
    }
  }
  return last && !der->empty();
}
