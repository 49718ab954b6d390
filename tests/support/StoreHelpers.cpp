#include <openssl/x509.h>
#include "support/StoreHelpers.h"

#include "base/Status.h"

HCERTSTORE OpenSystemStore(DWORD flags, const char16_t* name) {
  return Plat().CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, flags, name);
}

HCERTSTORE OpenBundle(const Bytes& bundle) {
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(bundle.size()), const_cast<BYTE*>(bundle.data())};
  return Plat().CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, CERT_STORE_READONLY_FLAG, &blob);
}

std::vector<Bytes> StoreCerts(HCERTSTORE store) {
  std::vector<Bytes> out;
  for (PCCERT_CONTEXT c = nullptr; (c = Plat().CertEnumCertificatesInStore(store, c)) != nullptr;)
    out.push_back(DerOf(c));
  return out;
}

HRESULT AddEncoded(HCERTSTORE store, const Bytes& der, DWORD disposition) {
  if (Plat().CertAddEncodedCertificateToStore(store, kEncoding, der.data(),
                                              static_cast<DWORD>(der.size()), disposition, nullptr))
    return S_OK;
  return StatusFromErrorFullRule(Plat().GetLastError());
}

PCCERT_CONTEXT FindExisting(HCERTSTORE store, const Bytes& der) {
  PCCERT_CONTEXT probe = nullptr;
  if (!Plat().CertAddEncodedCertificateToStore(
          Plat().CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr), kEncoding,
          der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS, &probe))
    return nullptr;
  HCERTSTORE probeStore = probe->hCertStore;
  PCCERT_CONTEXT found =
      Plat().CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_EXISTING, probe, nullptr);
  Plat().CertFreeCertificateContext(probe);
  Plat().CertCloseStore(probeStore, 0);
  return found;
}

Bytes DerOf(PCCERT_CONTEXT cert) { return Bytes(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded); }

bool AddToMy(const Bytes& der, std::u16string container, const char16_t* provider, DWORD spec) {
  HCERTSTORE my = OpenSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, u"My");
  PCCERT_CONTEXT added = nullptr;
  CRYPT_KEY_PROV_INFO link{container.data(), const_cast<char16_t*>(provider), PROV_RSA_FULL, 0, 0, nullptr, spec};
  const bool ok = Plat().CertAddEncodedCertificateToStore(my, kEncoding, der.data(), static_cast<DWORD>(der.size()),
                                                          CERT_STORE_ADD_NEW, &added) &&
                  (!provider || Plat().CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &link));
  if (added) Plat().CertFreeCertificateContext(added);
  Plat().CertCloseStore(my, 0);
  return ok;
}
