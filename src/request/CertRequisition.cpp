#include "request/CertRequisition.h"

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "encoding/DerEncoder.h"
#include "request/CertRequest.h"
#include "request/KeyPair.h"
#include "trace/Trace.h"

TRACE_COMPONENT("CertRequisition");

namespace {

constexpr char16_t kName[] = u"PKCS10CertRequisition";

// The public key in request form inside an exported key: the DER
// RSAPublicKey of the public key info (RSA), or the whole blob (SM2).
ByteView RequestKey(const BYTE* exported, DWORD length, bool rsa) {
  if (!rsa) return {exported, length};
  const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(exported);
  return {info->PublicKey.pbData, info->PublicKey.cbData};
}

const char16_t* RequestStep(bool rsa, bool twoKeys) {
  if (rsa)
    return twoKeys ? u"PKCS10RequestBase64-RSA-Double Certificate"
                   : u"PKCS10RequestBase64-RSA-Single Certificate";
  return twoKeys ? u"PKCS10RequestBase64-SM2-Double Certificate"
                 : u"PKCS10RequestBase64-SM2-Single Certificate";
}

}  // namespace

HRESULT PKCS10CertRequisition(const char16_t* providerName, const char16_t* subject, DWORD mode,
                              DWORD keySpec, bool rsa, DWORD keyLength,
                              std::u16string* containerName, char** request,
                              DWORD attributeForm, DWORD signingKeyFlags,
                              DWORD exchangeKeyFlags, ALG_ID hashAlgorithm) {
  TraceHelper trace("PKCS10CertRequisition");
  if (subject == nullptr || containerName == nullptr || request == nullptr ||
      (mode != kSingleCertificate && mode != kDoubleCertificate))
    return TracedStatus(kName, u"Check parameter", E_INVALIDARG);
  TraceStep(kName, u"Check parameter", S_OK);
  TRACE_VALUE(providerName, subject, mode, keySpec, keyLength);
  const bool twoKeys = mode == kDoubleCertificate;

  ProviderHandle provider;
  ScopedBuffer<BYTE> exchangeKey, signingKey;
  DWORD exchangeLength = 0, signingLength = 0;
  HRESULT hr;
  if (twoKeys) {
    BYTE* out = nullptr;
    hr = CreatePublicKey(rsa ? 1024 : 256, providerName, rsa, AT_KEYEXCHANGE, true,
                         &provider.value, containerName, &out, &exchangeLength,
                         exchangeKeyFlags);
    exchangeKey.reset(out);
    TraceStep(kName, u"CreatePublicKey-Exchange", hr);
    if (FAILED(hr)) return hr;
  }
  {
    BYTE* out = nullptr;
    hr = CreatePublicKey(keyLength, providerName, rsa, keySpec, false, &provider.value,
                         containerName, &out, &signingLength, signingKeyFlags);
    signingKey.reset(out);
    TraceStep(kName, u"CreatePublicKey-Sign cert", hr);
    if (FAILED(hr)) return hr;
  }

  const char* signatureAlgorithm = kOidSm3WithSm2;
  if (rsa) {
    if (hashAlgorithm == CALG_SHA1) {
      signatureAlgorithm = kOidSha1WithRsa;
    } else if (hashAlgorithm == CALG_MD5) {
      signatureAlgorithm = kOidMd5WithRsa;
    } else {
      return TracedStatus(kName, u"invalid hash algorithm", KL_E_INVALID_HASH_ALGORITHM);
    }
  }

  const ByteView key = RequestKey(signingKey.get(), signingLength, rsa);
  const ByteView temporary =
      twoKeys ? RequestKey(exchangeKey.get(), exchangeLength, rsa) : ByteView{nullptr, 0};
  DWORD requestLength = 0;
  hr = PKCS10RequestBase64(keySpec, provider.value, subject,
                           rsa ? kOidRsaEncryption : kOidEcPublicKey, rsa ? "" : kOidSm2Curve,
                           key.data, key.length, temporary.data, temporary.length,
                           rsa ? hashAlgorithm : CALG_SM3, signatureAlgorithm, request,
                           &requestLength, attributeForm, !rsa);
  return TracedStatus(kName, RequestStep(rsa, twoKeys), hr);
}
