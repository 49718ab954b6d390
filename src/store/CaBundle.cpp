// The bundle of a chain document added to the machine's "CA" store.
#include "store/CaBundle.h"

#include <cstring>

#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "encoding/Unicode.h"
#include "store/CertificateInfo.h"
#include "store/XmlNodes.h"
#include "trace/Trace.h"

TRACE_COMPONENT("CaBundle");

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace

bool IsSelfIssued(PCCERT_CONTEXT cert) {
  const CERT_INFO* info = cert->pCertInfo;
  return info->Issuer.cbData == info->Subject.cbData &&
         (info->Subject.cbData == 0 ||
          std::memcmp(info->Issuer.pbData, info->Subject.pbData, info->Subject.cbData) == 0);
}

HRESULT ParseP7bContentNode(KlXmlNode* node) {
  static constexpr char16_t kName[] = u"ParseP7bContentNode";
  TraceHelper trace("ParseP7bContentNode");
  char16_t* textRaw = nullptr;
  HRESULT hr = GetNodeValue(node, &textRaw);
  const ScopedBuffer<char16_t> text(textRaw);
  TraceStep(kName, u"ParseP7bContentNode-GetNodeValue", hr);
  if (FAILED(hr)) return hr;
  ScopedBuffer<> bundle;
  LONG length = 0;
  hr = DecodeBase64Text(kName, text.get(), &bundle, &length);
  if (FAILED(hr)) return hr;
  StoreHandle store;
  hr = ImportP7bCertificatestoStore(bundle.get(), static_cast<DWORD>(length), &store.value);
  TraceStep(kName, u"ParseP7bContentNode-ImportP7bCertificatestoStore", hr);
  if (FAILED(hr)) return hr;
  hr = AddCACertficatetoStore(store.value);
  TraceStep(kName, u"ParseP7bContentNode-AddCACertficatetoStore", hr);
  return hr;
}

HRESULT ImportP7bCertificatestoStore(const BYTE* data, DWORD size, HCERTSTORE* store) {
  TraceHelper trace("ImportP7bCertificatestoStore");
  if (data == nullptr || size == 0 || store == nullptr) return E_INVALIDARG;
  CRYPT_DATA_BLOB blob{size, const_cast<BYTE*>(data)};
  HCERTSTORE opened =
      Plat().CertOpenStore(CERT_STORE_PROV_PKCS7, kEncoding, 0, CERT_STORE_READONLY_FLAG, &blob);
  if (opened == nullptr)
    return TracedStatus(u"ImportP7bCertificatestoStore", u"AddCertificatetoStore-CertOpenStore",
                        FailedCallStatusFullRule());
  *store = opened;
  return S_OK;
}

HRESULT AddCACertficatetoStore(HCERTSTORE source) {
  static constexpr char16_t kName[] = u"AddCACertficatetoStore";
  TraceHelper trace("AddCACertficatetoStore");
  if (source == nullptr) return E_INVALIDARG;
  const Platform& p = Plat();
  StoreHandle ca;
  ca.value = p.CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                             CERT_SYSTEM_STORE_LOCAL_MACHINE, u"CA");
  if (ca.value == nullptr) return TracedStatus(kName, u"CertOpenStore", FailedCallStatusFullRule());
  HRESULT hr = S_OK;
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = p.CertEnumCertificatesInStore(source, cert)) != nullptr) {
    char16_t* subjectText = nullptr;
    hr = GetCertSubject(cert, &subjectText, nullptr, CERT_X500_NAME_STR);
    const ScopedBuffer<char16_t> subject(subjectText);
    TraceStep(kName, u"GetCertSubject", hr);
    if (FAILED(hr)) break;
    TRACE_VALUE(subject.get());
    if (IsSelfIssued(cert)) continue;
    if (!p.CertAddCertificateContextToStore(ca.value, cert, CERT_STORE_ADD_NEW, nullptr)) {
      hr = FailedCallStatusFullRule();
      if (hr == CRYPT_E_EXISTS) hr = S_OK;
    }
    TraceStep(kName, u"AddCertificatetoStore-CertAddCertificateContextToStore", hr);
    if (FAILED(hr)) break;
  }
  if (cert != nullptr) p.CertFreeCertificateContext(cert);
  return hr;
}
