// The chain check over the bundle of a chain document.
#include "store/ChainCheck.h"

#include <cstring>
#include <string>

#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "store/CaBundle.h"
#include "store/CertificateInfo.h"
#include "store/XmlNodes.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ChainCheck");

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kSha256WithRsa[] = "1.2.840.113549.1.1.11";

bool SignedWithSha256Rsa(PCCERT_CONTEXT cert) {
  const char* oid = cert->pCertInfo->SignatureAlgorithm.pszObjId;
  return oid != nullptr && std::strcmp(oid, kSha256WithRsa) == 0;
}

// Checks one certificate of the bundle: its chain, then its presence in
// the store it belongs in.
HRESULT CheckBundleCertificate(PCCERT_CONTEXT cert, bool sha256) {
  static constexpr char16_t kName[] = u"CheckCertificateChainIntegrity";
  const bool selfIssued = IsSelfIssued(cert);
  char16_t *subjectText = nullptr, *issuerText = nullptr;
  HRESULT hr = GetCertSubject(cert, &subjectText, nullptr, CERT_X500_NAME_STR);
  if (SUCCEEDED(hr)) hr = GetCertIssuer(cert, &issuerText, nullptr);
  const ScopedBuffer<char16_t> subject(subjectText), issuer(issuerText);
  TraceStep(kName, u"QueryCertContextInfo", hr);
  if (FAILED(hr)) return hr;
  TRACE_VALUE(subject.get(), issuer.get());
  if (!sha256 && SignedWithSha256Rsa(cert)) return S_OK;

  hr = ValidateCertificate(cert);
  TraceStep(kName, u"ValidateCertificate", hr);
  if (hr != S_OK) return hr;
  StoreHandle store;
  store.value = Plat().CertOpenStore(
      CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
      CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, selfIssued ? u"Root" : u"CA");
  if (store.value == nullptr) return TracedStatus(kName, u"CertOpenStore", FailedCallStatusFullRule());
  hr = CertificatesisExistinStore(cert, store.value);
  TraceStep(kName, u"CertificatesisExistinStore", hr);
  return hr;
}

}  // namespace

HRESULT CheckCertChainfromBlobData(const BYTE* data, DWORD size) {
  static constexpr char16_t kName[] = u"CheckCertChainfromBlobData";
  TraceHelper trace("CheckCertChainfromBlobData");
  XmlNodeHolder document;
  HRESULT hr = LoadXMLDom(data, size, &document.value);
  TraceStep(kName, u"CheckCertChainwithData-LoadXMLDom", hr);
  if (FAILED(hr)) return hr;
  hr = CheckCertChainfromXMLDOMDoc(document.value);
  TraceStep(kName, u"CheckCertChainwithData-CheckCertChainfromXMLDOMDoc", hr);
  return hr;
}

HRESULT CheckCertChainfromXMLDOMDoc(KlXmlNode* document) {
  static constexpr char16_t kName[] = u"CheckCertChainfromXMLDOMDoc";
  TraceHelper trace("CheckCertChainfromXMLDOMDoc");
  XmlNodeHolder root, bundleNode;
  HRESULT hr = GetXMLRootNode(document, &root.value);
  TraceStep(kName, u"CheckCertChainfromXMLDOMDoc-GetXMLRootNode", hr);
  if (FAILED(hr)) return hr;
  hr = FindChildNode(root.value, u"P7bContent", &bundleNode.value);
  TraceStep(kName, u"CheckCertChainfromXMLDOMDoc-FindChildNode", hr);
  if (FAILED(hr)) return hr;
  char16_t* textRaw = nullptr;
  hr = GetNodeValue(bundleNode.value, &textRaw);
  const ScopedBuffer<char16_t> text(textRaw);
  TraceStep(kName, u"CheckCertChainfromXMLDOMDoc-GetNodeValue", hr);
  if (FAILED(hr)) return hr;
  ScopedBuffer<> bundle;
  LONG length = 0;
  hr = DecodeBase64Text(kName, text.get(), &bundle, &length);
  if (FAILED(hr)) return hr;
  hr = CheckCertificateChainIntegrity(bundle.get(), static_cast<DWORD>(length));
  TraceStep(kName, u"CheckCertChainfromXMLDOMDoc-CheckCertificateChainIntegrity", hr);
  return hr;
}

HRESULT CheckCertificateChainIntegrity(const BYTE* data, DWORD size) {
  static constexpr char16_t kName[] = u"CheckCertificateChainIntegrity";
  TraceHelper trace("CheckCertificateChainIntegrity");
  if (data == nullptr || size == 0) return TracedStatus(kName, u"check parameter.", E_INVALIDARG);
  StoreHandle bundle;
  HRESULT hr = ImportP7bCertificatestoStore(data, size, &bundle.value);
  TraceStep(kName, u"ImportP7bCertificatestoStore", hr);
  if (FAILED(hr)) return hr;
  const bool sha256 = CheckIsSystemSupportSHA256();
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = Plat().CertEnumCertificatesInStore(bundle.value, cert)) != nullptr) {
    hr = CheckBundleCertificate(cert, sha256);
    if (hr != S_OK) break;
  }
  if (cert != nullptr) Plat().CertFreeCertificateContext(cert);
  return hr;
}

HRESULT CertificatesisExistinStore(PCCERT_CONTEXT cert, HCERTSTORE store) {
  TraceHelper trace("CertificatesisExistinStore");
  if (cert == nullptr || store == nullptr) return E_INVALIDARG;
  PCCERT_CONTEXT found =
      Plat().CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_EXISTING, cert, nullptr);
  if (found == nullptr)
    return TracedStatus(u"CertificatesisExistinStore",
                        u"CertificatesisExistinStore-CertFindCertificateInStore.",
                        FailedCallStatusFullRule());
  Plat().CertFreeCertificateContext(found);
  return S_OK;
}
