// Fuzz target: a serialized certificate store entry as the registry keeps
// it ("Blob"), read as the system stores read it, its key-provider record
// decoded, and written back.
#include <cstddef>
#include <cstdint>

#include "platform/soft/certs/SoftCert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::map<DWORD, Bytes> properties;
  Bytes der;
  if (!SoftParseEntry(data, size, &properties, &der)) return 0;
  auto info = properties.find(CERT_KEY_PROV_INFO_PROP_ID);
  if (info != properties.end()) {
    const size_t need = SoftDecodeKeyProvInfo(info->second, nullptr, 0);
    if (need != 0) {
      std::vector<uint64_t> out((need + 7) / 8);
      SoftDecodeKeyProvInfo(info->second, out.data(), need);
    }
  }
  SoftCert* cert = SoftNewCert(der.data(), der.size());
  if (cert == nullptr) return 0;
  cert->properties = std::move(properties);
  Bytes again = SoftSerializeEntry(*cert);
  std::map<DWORD, Bytes> reread;
  Bytes der2;
  if (!SoftParseEntry(again.data(), again.size(), &reread, &der2) || der2 != cert->der) __builtin_trap();
  SoftReleaseCert(cert);
  return 0;
}
