// Binding the issued signing certificate to the key the control made.
#include "install/SignCert.h"

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "install/Envelope.h"
#include "install/TempFiles.h"
#include "trace/Trace.h"

TRACE_COMPONENT("SignCert");

HRESULT ImportSignCert(DWORD keySpec, std::u16string* certificateText,
                       const std::u16string& providerName, const std::u16string& containerName,
                       const std::u16string& keyAlgorithm) {
  static constexpr char16_t kName[] = u"ImportSignCert";
  TraceHelper trace("ImportSignCert");
  if (certificateText == nullptr) return E_POINTER;
  const Platform& p = Plat();

  EraseCommaInWstr(certificateText);
  BYTE* derRaw = nullptr;
  DWORD derLength = 0;
  HRESULT hr = DecodeBase64Key(*certificateText, &derRaw, &derLength);
  const ScopedBuffer<> der(derRaw);
  if (FAILED(hr)) return TracedStatus(kName, u"base64 decode public key FAILED.", hr);

  std::u16string dumpPath;
  DumpDatatoTempFile(der.get(), derLength, &dumpPath);
  TRACE_VALUE(dumpPath.c_str());

  // Declared before the key so that the key is destroyed first.
  ProviderHandle provider;
  const bool rsa = IsRsaAlgorithmName(keyAlgorithm);
  // The token convention: the verify context with the container's name
  // still gives access to that container's key.
  HCRYPTPROV acquired = 0;
  if (!p.CryptAcquireContextW(&acquired, containerName.c_str(), providerName.c_str(),
                              PROV_RSA_FULL, rsa ? 0 : CRYPT_VERIFYCONTEXT))
    return TracedStatus(kName, rsa ? u"RSA CryptAcquireContext" : u"SM2 CryptAcquireContext",
                        FailedCallStatusFullRule());
  provider.value = acquired;

  KeyHandle key;
  HCRYPTKEY userKey = 0;
  if (!p.CryptGetUserKey(provider.value, keySpec, &userKey))
    return TracedStatus(kName, u"CryptGetUserKey", FailedCallStatusFullRule());
  key.value = userKey;

  if (!IsMicrosoftProvider(providerName)) {
    if (!p.CryptSetKeyParam(key.value, KP_CERTIFICATE, der.get(), 0))
      return TracedStatus(kName, u"non-microsoft's CSP: CryptSetKeyParam",
                          FailedCallStatusFullRule());
    return S_OK;
  }
  hr = AddCertificateToSystemStore(provider.value, der.get(), derLength, keySpec, containerName,
                                   providerName);
  if (FAILED(hr)) return TracedStatus(kName, u"AddCertificateToSystemStore", hr);
  return S_OK;
}
