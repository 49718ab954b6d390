// The provider list and the permission probe.
#include "control/CryptoAgent.h"
#include "base/Platform.h"
#include "control/ProviderList.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "request/KeyPair.h"
#include "trace/Trace.h"

TRACE_COMPONENT("ProviderMethods");

namespace {

constexpr char16_t kBaseProvider[] = u"Microsoft Base Cryptographic Provider v1.0";

}  // namespace

HRESULT CCryptoAgent::ZENQ_GetCSPInfo(BSTR* pbstrCSPName) {
  TraceHelper trace("CCryptoAgent::ZENQ_GetCSPInfo");
  if (pbstrCSPName == nullptr) return Finish(E_POINTER);
  std::u16string list;
  const HRESULT hr = GetAllCSPName(&list);
  if (FAILED(hr)) {
    TraceStep(u"CCryptoAgent::ZENQ_GetCSPInfo", u"GetAllCSPName.", hr);
    return Finish(hr);
  }
  TraceStep(u"CCryptoAgent::ZENQ_GetCSPInfo", u"GetAllCSPName.", S_OK);
  *pbstrCSPName = AllocBstr(list);
  return Finish(*pbstrCSPName ? S_OK : E_OUTOFMEMORY);
}

// Whether the user may create keys: a 1024-bit exchange key pair is made in
// a new container of the base software provider, and the container is
// deleted again.
HRESULT CCryptoAgent::ZENQ_HavePermissiontoGenerateKeyPair(VARIANT_BOOL* pbSuccess) {
  static constexpr char16_t kName[] = u"CCryptoAgent::ZENQ_HavePermissiontoGenerateKeyPair";
  TraceHelper trace("CCryptoAgent::ZENQ_HavePermissiontoGenerateKeyPair");
  if (pbSuccess == nullptr) return Finish(E_POINTER);
  *pbSuccess = VARIANT_FALSE;

  std::u16string list;
  HRESULT hr = GetAllCSPName(&list);
  TraceStep(kName, u"GetAllCSPName", hr);
  if (FAILED(hr)) return Finish(hr);
  if (list.find(kBaseProvider) == std::u16string::npos) {
    TraceStep(kName, u"Find Microsoft Base Cryptographic Provider v1.0", E_ACCESSDENIED);
    return Finish(E_ACCESSDENIED);
  }
  TraceStep(kName, u"Find Microsoft Base Cryptographic Provider v1.0", S_OK);

  const Platform& p = Plat();
  HCRYPTPROV provider = 0;
  std::u16string container;
  BYTE* publicKey = nullptr;
  DWORD publicKeyLength = 0;
  hr = CreatePublicKey({.providerName = kBaseProvider,
                        .algorithm = KeyAlgorithm::Rsa,
                        .keySpec = AT_KEYEXCHANGE,
                        .keyLength = 1024,
                        .newContainer = true},
                       &provider, &container, &publicKey, &publicKeyLength);
  TraceStep(kName, u"CreatePublicKey", hr);
  FreeBuffer(publicKey);
  if (provider) p.CryptReleaseContext(provider, 0);
  if (FAILED(hr)) return Finish(hr);
  *pbSuccess = VARIANT_TRUE;

  // The probe's key is of no use: remove its container.
  HCRYPTPROV ignored = 0;
  const BOOL deleted = p.CryptAcquireContextW(&ignored, container.c_str(), kBaseProvider,
                                              PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  TraceStep(kName, u"Delete container", deleted ? S_OK : LastErrorStatusFullRule());
  return Finish(S_OK);
}
