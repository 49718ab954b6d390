// The user's "MY" store and the provider conventions the installation
// flows share.
#include "base/Platform.h"
#include "base/Status.h"
#include "encoding/Unicode.h"
#include "install/SignCert.h"
#include "trace/Trace.h"

TRACE_COMPONENT("SystemStore");

bool IsMicrosoftProvider(const std::u16string& providerName) {
  return providerName.find(u"Microsoft") != std::u16string::npos;
}

bool IsRsaAlgorithmName(const std::u16string& keyAlgorithm) {
  return EqualsAsciiNoCase(keyAlgorithm, u"RSA");
}

HRESULT AddCertificateToSystemStore(HCRYPTPROV provider, const BYTE* certificate,
                                    DWORD certificateLength, DWORD keySpec,
                                    const std::u16string& containerName,
                                    const std::u16string& providerName) {
  static constexpr char16_t kName[] = u"AddCertificateToSystemStore";
  const Platform& p = Plat();
  // The store does not release the provider: the caller keeps it.
  HCERTSTORE store = p.CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, provider,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG,
                                     u"MY");
  if (store == nullptr) return TracedStatus(kName, u"CertOpenStore", FailedCallStatusFullRule());

  HRESULT hr = S_OK;
  PCCERT_CONTEXT added = nullptr;
  if (!p.CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                          certificate, certificateLength,
                                          CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
    hr = TracedStatus(kName, u"CertAddEncodedCertificateToStore", FailedCallStatusFullRule());
  } else {
    std::u16string container = containerName, name = providerName;
    CRYPT_KEY_PROV_INFO info = {};
    info.pwszContainerName = W(container.data());
    info.pwszProvName = W(name.data());
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = keySpec;
    if (!p.CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
      hr = TracedStatus(kName, u"CertSetCertificateContextProperty", FailedCallStatusFullRule());
      // No certificate stays in "My" without the link to its key (the
      // deletion frees the context).
      p.CertDeleteCertificateFromStore(added);
    } else {
      p.CertFreeCertificateContext(added);
    }
  }
  p.CertCloseStore(store, 0);
  return hr;
}
