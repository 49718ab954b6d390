// The installation methods: the signing certificate for a key the control
// made, and the encryption certificate with the key the authority made.
#include "base/Status.h"
#include "control/CryptoAgent.h"
#include "install/EncryptCert.h"
#include "install/SignCert.h"
#include "request/CertRequisition.h"
#include "trace/Trace.h"

TRACE_COMPONENT("InstallMethods");

namespace {

std::u16string Trimmed(BSTR text) { return TrimSpaces(U16(text), SysStringLen(text)); }

const char16_t* TextOrNull(BSTR text) { return text ? U16(text) : nullptr; }

}  // namespace

HRESULT CCryptoAgent::ZENQ_ImportSignCert(LONG lCertType, BSTR bstrSignCert,
                                          BSTR bstrContainerName, VARIANT_BOOL* pbSuccess) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_ImportSignCert";
  TraceHelper trace("CCryptoAgent::ZENQ_ImportSignCert");
  if (pbSuccess == nullptr) return Finish(E_POINTER);
  TRACE_VALUE(lCertType, m_strCSPName.c_str(), m_strKeyAlgorithm.c_str());
  TRACE_VALUE(TextOrNull(bstrSignCert), TextOrNull(bstrContainerName));

  if (IsMissing(bstrSignCert))
    return Finish(TracedStatus(kName, u"bstrSignCert Invalid parameter.", E_INVALIDARG));
  if (IsMissing(bstrContainerName))
    return Finish(TracedStatus(kName, u"bstrContainerName Invalid parameter.", E_INVALIDARG));

  std::u16string certificate = Trimmed(bstrSignCert);
  const std::u16string container = Trimmed(bstrContainerName);
  // Only type 1 (a single certificate's exchange key) selects the
  // exchange key; any other type means the signing key.
  const DWORD keySpec = KeySpecOfCertType(lCertType);
  const HRESULT hr =
      ImportSignCert(keySpec, &certificate, m_strCSPName, container, m_strKeyAlgorithm);
  TraceStep(kName, u"ImportSignCert", hr);
  if (FAILED(hr)) return Finish(hr);
  *pbSuccess = VARIANT_TRUE;
  return Finish(S_OK);
}

HRESULT CCryptoAgent::ZENQ_ImportEncryptCert(BSTR bstrEncryptedPrivateKey, BSTR bstrP7Cert,
                                             BSTR bstrContainerName,
                                             LONG lEncryptCertPrivateKeyFlags,
                                             VARIANT_BOOL* pbSuccess) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_ImportEncryptCert";
  TraceHelper trace("CCryptoAgent::ZENQ_ImportEncryptCert");
  if (pbSuccess == nullptr) return Finish(E_POINTER);
  TRACE_VALUE(m_strCSPName.c_str(), m_strKeyAlgorithm.c_str(), m_lKeyLength,
              lEncryptCertPrivateKeyFlags);
  TRACE_VALUE(TextOrNull(bstrEncryptedPrivateKey), TextOrNull(bstrP7Cert),
              TextOrNull(bstrContainerName));

  if (IsMissing(bstrEncryptedPrivateKey) || IsMissing(bstrP7Cert) || IsMissing(bstrContainerName))
    return Finish(TracedStatus(kName, u"Invalid parameter.", E_INVALIDARG));

  const EncryptCertImport import{.envelope = Trimmed(bstrEncryptedPrivateKey),
                                 .certificate = Trimmed(bstrP7Cert),
                                 .providerName = m_strCSPName,
                                 .containerName = Trimmed(bstrContainerName),
                                 .keyAlgorithm = m_strKeyAlgorithm,
                                 .keyLength = static_cast<DWORD>(m_lKeyLength),
                                 .importFlags = static_cast<DWORD>(lEncryptCertPrivateKeyFlags)};
  // The container becomes the current one whether or not the import works.
  m_strContainerName = import.containerName;
  const HRESULT hr = ImportEncryptCertEx(import);
  if (hr != S_OK) {
    TRACE_FAILURE(static_cast<uint32_t>(hr));
    return Finish(hr);
  }
  *pbSuccess = VARIANT_TRUE;
  return Finish(S_OK);
}
