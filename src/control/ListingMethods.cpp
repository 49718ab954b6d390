// The listing method: the certificates of the user's personal store that
// are linked to a private key.
#include "base/Platform.h"
#include "base/Status.h"
#include "control/CryptoAgent.h"
#include "store/CertificateInfo.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ListingMethods");

HRESULT CCryptoAgent::ZENQ_GetAllCertInfo(BSTR* bstrAllCertInfo) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_GetAllCertInfo";
  TraceHelper trace("CCryptoAgent::ZENQ_GetAllCertInfo");
  if (bstrAllCertInfo == nullptr) return Finish(E_POINTER);

  const Platform& p = Plat();
  HCERTSTORE store = p.CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                     0, CERT_SYSTEM_STORE_CURRENT_USER, u"My");
  if (store == nullptr) return Finish(TracedStatus(kName, u"CertOpenStore", FailedCallStatusFullRule()));

  std::u16string listing;
  HRESULT hr = GetAllCertificatesInfoinStore(store, &listing, CERTINFO_LOCAL_TIME);
  TraceStep(kName, u"GetAllCertificatesInfoinStore.", hr);
  if (SUCCEEDED(hr)) {
    BSTR text = AllocBstr(listing);
    if (text == nullptr) hr = E_OUTOFMEMORY;
    else *bstrAllCertInfo = text;
  }
  p.CertCloseStore(store, 0);
  return Finish(hr);
}
