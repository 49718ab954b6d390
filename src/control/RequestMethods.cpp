// The key-creating methods: the temporary public key and the PKCS#10
// requests.
#include <optional>

#include "base/Platform.h"
#include "base/Status.h"
#include "control/CryptoAgent.h"
#include "encoding/Base64.h"
#include "encoding/Buffer.h"
#include "install/TempFiles.h"
#include "request/CertRequest.h"
#include "request/CertRequisition.h"
#include "request/KeyPair.h"
#include "request/Sm2TempKey.h"
#include "trace/Trace.h"

TRACE_COMPONENT("RequestMethods");

namespace {

// The selected key algorithm's name made a KeyAlgorithm; none for another name.
std::optional<KeyAlgorithm> Resolve(const std::u16string& name) {
  if (EqualsAsciiNoCase(name, u"RSA")) return KeyAlgorithm::Rsa;
  if (EqualsAsciiNoCase(name, u"SM2")) return KeyAlgorithm::Sm2;
  return std::nullopt;
}

// The 8-bit (ASCII) text widened into a new BSTR; the empty string for none.
BSTR WidenToBstr(const char* text) {
  std::u16string wide;
  for (const char* c = text; c && *c; ++c) wide.push_back(static_cast<unsigned char>(*c));
  return AllocBstr(wide);
}

}  // namespace

HRESULT CCryptoAgent::ZENQ_GetTempPublickey(BSTR* pbstrTempPublickey) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_GetTempPublickey";
  TraceHelper trace("CCryptoAgent::ZENQ_GetTempPublickey");
  if (pbstrTempPublickey == nullptr) return Finish(E_POINTER);
  TRACE_VALUE(m_strKeyAlgorithm.c_str(), m_strCSPName.c_str());

  HRESULT hr = S_OK;
  ScopedBuffer<char> text;
  const std::optional<KeyAlgorithm> algorithm = Resolve(m_strKeyAlgorithm);
  if (!algorithm) {
    hr = KL_E_KEY_ALGORITHM;
    TraceStep(kName, u"Invalid key algorithm.", hr);
  } else {
    const bool rsa = *algorithm == KeyAlgorithm::Rsa;
    HCRYPTPROV provider = 0;
    std::u16string container;
    BYTE* exportedRaw = nullptr;
    DWORD exportedLength = 0;
    hr = CreatePublicKey({.providerName = m_strCSPName.c_str(),
                          .algorithm = *algorithm,
                          .keySpec = AT_KEYEXCHANGE,
                          .keyLength = rsa ? 1024u : 256u,
                          .newContainer = true},
                         &provider, &container, &exportedRaw, &exportedLength);
    const ScopedBuffer<BYTE> exported(exportedRaw);
    if (provider) Plat().CryptReleaseContext(provider, 0);
    TraceStep(kName, u"CreatePublicKey", hr);

    const BYTE* key = nullptr;
    DWORD keyLength = 0;
    if (SUCCEEDED(hr) && rsa) {
      const auto* info = reinterpret_cast<const CERT_PUBLIC_KEY_INFO*>(exported.get());
      key = info->PublicKey.pbData;
      keyLength = info->PublicKey.cbData;
    } else if (SUCCEEDED(hr)) {
      hr = ConvertSM2TmpPublicKeyStructtoCANeeded(exported.get(), &exportedLength);
      TraceStep(kName, u"ConvertSM2TmpPublicKeyStructtoCANeeded", hr);
      key = exported.get();
      keyLength = exportedLength;
    }
    if (SUCCEEDED(hr)) {
      char* encoded = nullptr;
      DWORD encodedLength = 0;
      hr = Base64EncodeEx(key, keyLength, &encoded, &encodedLength, B64_NO_CRLF);
      text.reset(encoded);
      TraceStep(kName, u"Base64EncodeEx (Kernel)", hr);
      if (SUCCEEDED(hr)) {
        m_strContainerName = container;
        std::u16string dumpPath;
        DumpDatatoTempFile(reinterpret_cast<const BYTE*>(encoded), encodedLength, &dumpPath);
        TRACE_VALUE(dumpPath.c_str());
      }
    }
  }

  *pbstrTempPublickey = WidenToBstr(SUCCEEDED(hr) ? text.get() : nullptr);
  if (*pbstrTempPublickey == nullptr) return Finish(E_OUTOFMEMORY);
  return Finish(hr);
}

HRESULT CCryptoAgent::RequestCertificate(const char16_t* method, BSTR bstrSubjectDN,
                                         LONG lCertType, LONG lSignPrivateKeyGenerateFlags,
                                         BSTR* pbstrP10CertRequisition, bool md5) {
  if (pbstrP10CertRequisition == nullptr) return Finish(E_POINTER);
  TRACE_VALUE(m_strKeyAlgorithm.c_str(), lCertType, lSignPrivateKeyGenerateFlags);
  TRACE_VALUE(bstrSubjectDN ? U16(bstrSubjectDN) : nullptr);

  HRESULT hr = S_OK;
  ScopedBuffer<char> request;
  const std::optional<KeyAlgorithm> algorithm = Resolve(m_strKeyAlgorithm);
  if (!algorithm || (md5 && *algorithm != KeyAlgorithm::Rsa)) {
    hr = KL_E_KEY_ALGORITHM;
    TraceStep(method, u"Invalid key algorithm.", hr);
  } else if (IsMissing(bstrSubjectDN)) {
    hr = E_INVALIDARG;
    TraceStep(method, u"Invalid parameter.", hr);
  } else if (lCertType != kSingleCertificate && lCertType != kDoubleCertificate) {
    hr = E_INVALIDARG;
    TraceStep(method, u"lCertType Invalid parameter.", hr);
  } else {
    const std::u16string subject(U16(bstrSubjectDN), SysStringLen(bstrSubjectDN));
    std::u16string container;
    char* text = nullptr;
    // The double-certificate attributes go in the special form (no SET
    // around the values): the certification authority parses that form.
    const RequisitionSettings settings{
        .providerName = m_strCSPName.c_str(),
        .algorithm = *algorithm,
        .mode = static_cast<DWORD>(lCertType),
        .keySpec = KeySpecOfCertType(lCertType),
        .keyLength = static_cast<DWORD>(m_lKeyLength),
        .hashAlgorithm = static_cast<ALG_ID>(md5 ? CALG_MD5 : CALG_SHA1),
        .attributeForm = kAttributesSpecial,
        .signingKeyFlags = static_cast<DWORD>(lSignPrivateKeyGenerateFlags)};
    hr = PKCS10CertRequisition(settings, subject.c_str(), &container, &text);
    request.reset(text);
    TraceStep(method, u"PKCS10CertRequisition FAILED", hr);
    if (SUCCEEDED(hr)) m_strContainerName = container;
  }

  *pbstrP10CertRequisition = WidenToBstr(SUCCEEDED(hr) ? request.get() : nullptr);
  if (*pbstrP10CertRequisition == nullptr) return Finish(E_OUTOFMEMORY);
  return Finish(hr);
}

HRESULT CCryptoAgent::ZENQ_PKCS10CertRequisition(BSTR bstrSubjectDN, LONG lCertType,
                                                 LONG lSignPrivateKeyGenerateFlags,
                                                 BSTR* pbstrP10CertRequisition) {
  TraceHelper trace("CCryptoAgent::ZENQ_PKCS10CertRequisition");
  return RequestCertificate(u"CCryptoAgent::ZENQ_PKCS10CertRequisition", bstrSubjectDN,
                            lCertType, lSignPrivateKeyGenerateFlags, pbstrP10CertRequisition,
                            false);
}

HRESULT CCryptoAgent::ZENQ_PKCS10CertRequisitionwithMD5(BSTR bstrSubjectDN, LONG lCertType,
                                                        LONG lSignPrivateKeyGenerateFlags,
                                                        BSTR* pbstrP10CertRequisition) {
  TraceHelper trace("CCryptoAgent::ZENQ_PKCS10CertRequisitionwithMD5");
  return RequestCertificate(u"CCryptoAgent::ZENQ_PKCS10CertRequisitionwithMD5", bstrSubjectDN,
                            lCertType, lSignPrivateKeyGenerateFlags, pbstrP10CertRequisition,
                            true);
}
