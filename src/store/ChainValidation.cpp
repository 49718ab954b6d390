// One certificate's chain, built from this machine's stores only, and the
// platform version test that decides whether SHA-256 signatures are
// verified.
#include "base/Status.h"
#include "store/ChainCheck.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ChainValidation");

HRESULT ValidateCertificate(PCCERT_CONTEXT cert) {
  TraceHelper trace("ValidateCertificate");
  const HRESULT hr = VerifyCertificateChainValidate(cert);
  TraceStep(u"ValidateCertificate", u"ValidateCertificate-VerifyCertificateChainValidate", hr);
  return hr < 0 ? hr : S_OK;
}

HRESULT VerifyCertificateChainValidate(PCCERT_CONTEXT cert) {
  TraceHelper trace("VerifyCertificateChainValidate");
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  HRESULT hr = GetCertificateChain(nullptr, cert, &chain);
  TraceStep(u"VerifyCertificateChainValidate",
            u"VerifyCertificateChainValidate-GetCertificateChain", hr);
  if (FAILED(hr)) return hr;
  const DWORD errors = chain->TrustStatus.dwErrorStatus;
  TRACE_VALUE(errors);
  Plat().CertFreeCertificateChain(chain);
  if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) return KL_E_CHAIN_NOT_INTEGRATED;
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return KL_E_CHAIN_BAD_SIGNATURE;
  if (errors != 0) return KL_E_CHAIN_NOT_INTEGRATED;
  return S_OK;
}

HRESULT GetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert,
                            PCCERT_CHAIN_CONTEXT* chain) {
  TraceHelper trace("GetCertificateChain");
  if (cert == nullptr || chain == nullptr) return E_INVALIDARG;
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  if (!Plat().CertGetCertificateChain(
          engine, cert, nullptr, nullptr, &para,
          CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE, nullptr,
          chain))
    return TracedStatus(u"GetCertificateChain", u"GetCertificateChain-CertGetCertificateChain",
                        FailedCallStatusFullRule());
  return S_OK;
}

bool CheckIsSystemSupportSHA256() {
  TraceHelper trace("CheckIsSystemSupportSHA256");
  const Platform& p = Plat();
  OSVERSIONINFOEXW have = {};
  have.dwOSVersionInfoSize = sizeof have;
  // A version that cannot be read is tested as a workstation's.
  p.GetVersionExW(&have);
  const bool server = have.wProductType == VER_NT_SERVER;
  OSVERSIONINFOEXW want = {};
  want.dwOSVersionInfoSize = sizeof want;
  want.dwMajorVersion = server ? 6 : 5;
  want.dwMinorVersion = server ? 0 : 1;
  want.wServicePackMajor = server ? 0 : 3;
  ULONGLONG mask = 0;
  for (DWORD field : {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR,
                      VER_SERVICEPACKMINOR})
    mask = p.VerSetConditionMask(mask, field, VER_GREATER_EQUAL);
  DWORD typeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR |
                   VER_SERVICEPACKMINOR;  // 0x33
  if (server) {
    want.wProductType = VER_NT_SERVER;
    mask = p.VerSetConditionMask(mask, VER_PRODUCT_TYPE, VER_EQUAL);
    typeMask |= VER_PRODUCT_TYPE;  // 0xB3
  }
  const BOOL supported = p.VerifyVersionInfoW(&want, typeMask, mask);
  TRACE_VALUE(static_cast<uint32_t>(supported));
  return supported != FALSE;
}
