// The encryption certificate's import flows: which envelope format the
// provider takes, and the order of parsing, unwrapping and importing.
#include "install/EncryptCert.h"

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "install/Envelope.h"
#include "install/InstalledKey.h"
#include "install/RsaImport.h"
#include "install/SessionKey.h"
#include "install/SignCert.h"
#include "install/Sm2Import.h"
#include "install/StepTrace.h"
#include "install/TempFiles.h"
#include "trace/Trace.h"

TRACE_COMPONENT("EncryptCert");

namespace {

constexpr DWORD kPlainTokenKeyLength = 1024;

bool AnyTextEmpty(const EncryptCertImport& in) {
  return in.envelope.empty() || in.certificate.empty() || in.providerName.empty() ||
         in.containerName.empty() || in.keyAlgorithm.empty();
}

// Tokens take the plain format only for RSA at 1024 bits; SM2 keys and
// longer RSA keys are opened inside the token.
bool TakesPlainFormat(const EncryptCertImport& in) {
  if (!IsRsaAlgorithmName(in.keyAlgorithm)) return false;
  return IsMicrosoftProvider(in.providerName) || in.keyLength == kPlainTokenKeyLength;
}

// The certificate text decoded; the caller's text is left as it was.
HRESULT CertificateDer(const EncryptCertImport& in, ScopedBuffer<BYTE>* der, DWORD* length) {
  std::u16string text = in.certificate;
  BYTE* data = nullptr;
  const HRESULT hr = ParseEncryptCertPublicKeyCert(&text, &data, length);
  der->reset(data);
  return hr;
}

// The pieces both flows start from: the DER certificate, then the
// envelope's algorithm and wrapped keys, read by `parse` (the plain or the
// encrypted format's reader), each step recorded under `function`.
struct Parsed {
  ScopedBuffer<BYTE> certificate, wrappedSession, wrappedPrivate;
  DWORD certificateLength = 0, wrappedSessionLength = 0, wrappedPrivateLength = 0;
  ALG_ID algorithm = 0;
};

using EnvelopeParser = HRESULT (*)(const std::u16string&, ALG_ID*, BYTE**, DWORD*, BYTE**, DWORD*);

HRESULT ParseInputs(const char16_t* function, const EncryptCertImport& in, EnvelopeParser parse,
                    const char16_t* parseStep, Parsed* out) {
  HRESULT hr = CertificateDer(in, &out->certificate, &out->certificateLength);
  if (StepFailed(function, u"ParseEncryptCertPublicKeyCert", hr)) return hr;
  BYTE *session = nullptr, *wrapped = nullptr;
  hr = parse(in.envelope, &out->algorithm, &session, &out->wrappedSessionLength, &wrapped,
             &out->wrappedPrivateLength);
  out->wrappedSession.reset(session);
  out->wrappedPrivate.reset(wrapped);
  StepFailed(function, parseStep, hr);
  return hr;
}

// An import that was interrupted after the authority's key went into the
// container is finished here: the key is the certificate's already, so
// only the certificate is bound (the temporary key that opened the
// envelope is gone). True, with the binding's status in *hr, when so.
bool FinishedEarlier(const char16_t* function, const EncryptCertImport& in, const Parsed& parsed,
                     HRESULT* hr) {
  bool installed = false;
  if (FAILED(ExchangeKeyIsCertificates(in.providerName, in.containerName, in.keyAlgorithm,
                                       parsed.certificate.get(), parsed.certificateLength,
                                       &installed)) ||
      !installed)
    return false;
  TraceStep(function, u"Exchange key installed before", S_OK);
  const bool rsa = IsRsaAlgorithmName(in.keyAlgorithm);
  const Platform& p = Plat();
  ProviderHandle provider;
  KeyHandle key;
  if (!p.CryptAcquireContextW(&provider.value, in.containerName.c_str(), in.providerName.c_str(),
                              PROV_RSA_FULL, rsa ? 0 : CRYPT_VERIFYCONTEXT)) {
    provider.value = 0;
    *hr = TracedStatus(function, u"CryptAcquireContext", FailedCallStatusFullRule());
    return true;
  }
  if (!IsMicrosoftProvider(in.providerName)) {
    if (!p.CryptGetUserKey(provider.value, AT_KEYEXCHANGE, &key.value)) {
      key.value = 0;
      *hr = TracedStatus(function, u"CryptGetUserKey", FailedCallStatusFullRule());
      return true;
    }
    *hr = PlatformStep(function, u"non-microsoft's CSP: CryptSetKeyParam",
                       p.CryptSetKeyParam(key.value, KP_CERTIFICATE, parsed.certificate.get(), 0));
    return true;
  }
  *hr = AddCertificateToSystemStore(provider.value, parsed.certificate.get(),
                                    parsed.certificateLength, AT_KEYEXCHANGE, in.containerName,
                                    in.providerName);
  StepFailed(function, u"AddCertificateToSystemStore", *hr);
  return true;
}

}  // namespace

HRESULT ImportEncryptCertEx(const EncryptCertImport& in) {
  static constexpr char16_t kName[] = u"ImportEncryptCertEx";
  TraceHelper trace("ImportEncryptCertEx");
  if (AnyTextEmpty(in)) return TracedStatus(kName, u"Invalid parameter.", E_INVALIDARG);
  TRACE_VALUE(in.envelope.c_str(), in.certificate.c_str(), in.providerName.c_str(),
              in.containerName.c_str(), in.keyAlgorithm.c_str(), in.keyLength, in.importFlags);
  if (TakesPlainFormat(in))
    return TracedStatus(kName, u"ImportEncryptCertEx-ImportEncryptCert", ImportEncryptCert(in));
  return TracedStatus(kName, u"ImportEncryptCertEx-ImportEncryptCertByEncryptedFormat",
                      ImportEncryptCertByEncryptedFormat(in));
}

HRESULT ImportEncryptCert(const EncryptCertImport& in) {
  static constexpr char16_t kName[] = u"ImportEncryptCert";
  TraceHelper trace("ImportEncryptCert");
  Parsed parsed;
  HRESULT hr = ParseInputs(kName, in, &ParseEncryptCertPrivateKeyData,
                           u"ParseEncryptCertPrivateKeyData", &parsed);
  if (FAILED(hr)) return hr;
  if (FinishedEarlier(kName, in, parsed, &hr)) return hr;

  // The temporary key's container stays open for the import below.
  ProviderHandle provider;
  BYTE* data = nullptr;
  DWORD length = 0;
  hr = DecryptSessionKeywithTempKey(in.providerName, &provider.value, in.containerName,
                                    parsed.wrappedSession.get(), parsed.wrappedSessionLength, &data,
                                    &length);
  ScopedSecret sessionKey(data, length);
  if (StepFailed(kName, u"DecryptSessionKeywithTempKey", hr)) return hr;

  data = nullptr;
  length = 0;
  hr = DecryptPrivateKeywithSessionKey(parsed.algorithm, sessionKey.get(), sessionKey.size(),
                                       parsed.wrappedPrivate.get(), parsed.wrappedPrivateLength,
                                       &data, &length);
  ScopedSecret privateKey(data, length);
  if (StepFailed(kName, u"DecryptPrivateKeywithSessionKey", hr)) return hr;
  sessionKey.reset();

  hr = ImportEncryptCert_RSA(in.providerName, provider.value, in.containerName, in.keyLength,
                             parsed.certificate.get(), parsed.certificateLength, privateKey.get(),
                             privateKey.size(), in.importFlags);
  if (StepFailed(kName, u"ImportEncryptCert_RSA", hr)) return hr;
  return S_OK;
}

HRESULT ImportEncryptCertByEncryptedFormat(const EncryptCertImport& in) {
  static constexpr char16_t kName[] = u"ImportEncryptCertByEncryptedFormat";
  TraceHelper trace("ImportEncryptCertByEncryptedFormat");
  if (AnyTextEmpty(in)) return TracedStatus(kName, u"Invalid parameter.", E_INVALIDARG);
  Parsed parsed;
  HRESULT hr = ParseInputs(kName, in, &ParseEncryptCertPrivateKeyDataEx,
                           u"ParseEncryptCertPrivateKeyDataEx", &parsed);
  if (FAILED(hr)) return hr;
  if (FinishedEarlier(kName, in, parsed, &hr)) return hr;
  TRACE_VALUE(parsed.wrappedSessionLength, parsed.wrappedPrivateLength);

  // Diagnostic copies of what the provider is handed; never read back.
  std::u16string sessionDump, privateDump;
  DumpDatatoTempFile(parsed.wrappedSession.get(), parsed.wrappedSessionLength, &sessionDump);
  TRACE_VALUE(sessionDump.c_str());
  DumpDatatoTempFile(parsed.wrappedPrivate.get(), parsed.wrappedPrivateLength, &privateDump);
  TRACE_VALUE(privateDump.c_str());

  ProviderHandle provider;
  hr = GetCSPHandleofTempPublickey(in.providerName, in.containerName, in.keyAlgorithm,
                                   &provider.value);
  if (StepFailed(kName, u"GetCSPHandleofTempPublickey", hr)) return hr;

  if (!IsRsaAlgorithmName(in.keyAlgorithm)) {
    hr = ImportEncryptCertEx_SM2(provider.value, parsed.certificate.get(), parsed.certificateLength,
                                 parsed.wrappedPrivate.get(), parsed.wrappedPrivateLength,
                                 in.importFlags);
    if (StepFailed(kName, u"ImportEncryptCertEx_SM2", hr)) return hr;
    return S_OK;
  }
  hr = ImportEncryptCertEx_RSA(provider.value, in.keyLength, parsed.certificate.get(),
                               parsed.certificateLength, parsed.wrappedSession.get(),
                               parsed.wrappedSessionLength, parsed.wrappedPrivate.get(),
                               parsed.wrappedPrivateLength, in.importFlags);
  if (StepFailed(kName, u"ImportEncryptCertEx_RSA", hr)) return hr;
  return S_OK;
}
