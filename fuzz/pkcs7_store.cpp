// Fuzz target: bytes opened as a PKCS#7 memory store, every certificate
// walked and its names rendered, as the chain installation and check do.
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "base/Platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(size), const_cast<BYTE*>(data)};
  HCERTSTORE store = Plat().CertOpenStore(CERT_STORE_PROV_PKCS7, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                          0, CERT_STORE_READONLY_FLAG, &blob);
  if (store == nullptr) return 0;
  for (PCCERT_CONTEXT c = nullptr; (c = Plat().CertEnumCertificatesInStore(store, c)) != nullptr;) {
    char16_t text[512];
    for (const CERT_NAME_BLOB* name : {&c->pCertInfo->Subject, &c->pCertInfo->Issuer})
      Plat().CertNameToStrW(X509_ASN_ENCODING, name,
                            CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, text, 512);
  }
  Plat().CertCloseStore(store, 0);
  return 0;
}
