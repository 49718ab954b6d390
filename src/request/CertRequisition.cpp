#include "request/CertRequisition.h"

#include <utility>

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
ByteView RequestKey(const BYTE* exported, DWORD length, KeyAlgorithm algorithm) {
  if (algorithm == KeyAlgorithm::Sm2) return {exported, length};
  const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(exported);
  return {info->PublicKey.pbData, info->PublicKey.cbData};
}

const char16_t* RequestStep(KeyAlgorithm algorithm, bool twoKeys) {
  if (algorithm == KeyAlgorithm::Rsa)
    return twoKeys ? u"PKCS10RequestBase64-RSA-Double Certificate"
                   : u"PKCS10RequestBase64-RSA-Single Certificate";
  return twoKeys ? u"PKCS10RequestBase64-SM2-Double Certificate"
                 : u"PKCS10RequestBase64-SM2-Single Certificate";
}

}  // namespace

HRESULT PKCS10CertRequisition(const RequisitionSettings& settings, const char16_t* subject,
                              std::u16string* containerName, char** request) {
  TraceHelper trace("PKCS10CertRequisition");
  const DWORD mode = settings.mode;
  if (subject == nullptr || containerName == nullptr || request == nullptr ||
      (mode != kSingleCertificate && mode != kDoubleCertificate))
    return TracedStatus(kName, u"Check parameter", E_INVALIDARG);
  TraceStep(kName, u"Check parameter", S_OK);
  TRACE_VALUE(settings.providerName, subject, mode, settings.keySpec, settings.keyLength);
  const bool twoKeys = mode == kDoubleCertificate;
  const bool rsa = settings.algorithm == KeyAlgorithm::Rsa;

  ProviderHandle provider;
  ScopedBuffer<BYTE> exchangeKey, signingKey;
  DWORD exchangeLength = 0, signingLength = 0;
  HRESULT hr;
  if (twoKeys) {
    BYTE* out = nullptr;
    hr = CreatePublicKey({.providerName = settings.providerName,
                          .algorithm = settings.algorithm,
                          .keySpec = AT_KEYEXCHANGE,
                          .keyLength = rsa ? 1024u : 256u,
                          .generationFlags = settings.exchangeKeyFlags,
                          .newContainer = true},
                         &provider.value, containerName, &out, &exchangeLength);
    exchangeKey.reset(out);
    TraceStep(kName, u"CreatePublicKey-Exchange", hr);
    if (FAILED(hr)) return hr;
  }
  {
    BYTE* out = nullptr;
    hr = CreatePublicKey({.providerName = settings.providerName,
                          .algorithm = settings.algorithm,
                          .keySpec = settings.keySpec,
                          .keyLength = settings.keyLength,
                          .generationFlags = settings.signingKeyFlags,
                          .newContainer = false},
                         &provider.value, containerName, &out, &signingLength);
    signingKey.reset(out);
    TraceStep(kName, u"CreatePublicKey-Sign cert", hr);
    if (FAILED(hr)) return hr;
  }

  RequestSettings requestSettings{.algorithm = settings.algorithm,
                                  .keySpec = settings.keySpec,
                                  .hashAlgorithm = CALG_SM3,
                                  .signatureAlgorithm = kOidSm3WithSm2,
                                  .attributeForm = settings.attributeForm};
  if (rsa) {
    requestSettings.hashAlgorithm = settings.hashAlgorithm;
    if (settings.hashAlgorithm == CALG_SHA1) {
      requestSettings.signatureAlgorithm = kOidSha1WithRsa;
    } else if (settings.hashAlgorithm == CALG_MD5) {
      requestSettings.signatureAlgorithm = kOidMd5WithRsa;
    } else {
      return TracedStatus(kName, u"invalid hash algorithm", KL_E_INVALID_HASH_ALGORITHM);
    }
  }

  const ByteView key = RequestKey(signingKey.get(), signingLength, settings.algorithm);
  const ByteView temporary =
      twoKeys ? RequestKey(exchangeKey.get(), exchangeLength, settings.algorithm) : ByteView{};
  DWORD requestLength = 0;
  hr = PKCS10RequestBase64(requestSettings, provider.value, subject, key, temporary, request,
                           &requestLength);
  // Releasing the context that made the container settles it with all its
  // keys; a container left unsettled goes when its maker does.
  if (SUCCEEDED(hr) && !Plat().CryptReleaseContext(std::exchange(provider.value, 0), 0))
    hr = FailedCallStatusFullRule();
  return TracedStatus(kName, RequestStep(settings.algorithm, twoKeys), hr);
}
