#include "request/KeyPair.h"

#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "trace/Trace.h"

TRACE_COMPONENT("KeyPair");

namespace {

constexpr char16_t kCreatePublicKey[] = u"CreatePublicKey";

// Exports the public key of the new pair into a zeroed buffer of the size
// the platform reports, with the step texts of the size and data calls.
template <typename ExportFn>
HRESULT ExportInto(ExportFn exportCall, const char16_t* sizeStep, const char16_t* dataStep,
                   BYTE** out, DWORD* outLength) {
  DWORD size = 0;
  if (!exportCall(nullptr, &size)) {
    const HRESULT hr = FailedCallStatusFullRule();
    return TracedStatus(kCreatePublicKey, sizeStep, hr);
  }
  TraceStep(kCreatePublicKey, sizeStep, S_OK);
  ScopedBuffer<BYTE> buffer(AllocZeroed<BYTE>(size));
  if (!buffer) return TracedStatus(kCreatePublicKey, u"New buffer", E_OUTOFMEMORY);
  if (!exportCall(buffer.get(), &size)) {
    const HRESULT hr = FailedCallStatusFullRule();
    return TracedStatus(kCreatePublicKey, dataStep, hr);
  }
  TraceStep(kCreatePublicKey, dataStep, S_OK);
  *out = buffer.release();
  *outLength = size;
  return S_OK;
}

}  // namespace

HRESULT CreateGUIDStr(std::u16string* text) {
  TraceHelper trace("CreateGUIDStr");
  const Platform& p = Plat();
  GUID guid{};
  HRESULT hr = p.CoCreateGuid(&guid);
  if (FAILED(hr)) return hr;
  char16_t buffer[64] = {};
  if (p.StringFromGUID2(guid, buffer, 64) == 0) return FailedCallStatusFullRule();
  *text = buffer;
  return S_OK;
}

ALG_ID KeyGenerationAlgId(KeyAlgorithm algorithm, DWORD keySpec) {
  if (algorithm == KeyAlgorithm::Rsa) return keySpec;
  return keySpec == AT_KEYEXCHANGE ? KL_CALG_SM2_KEYX : KL_CALG_SM2_SIGN;
}

HRESULT CreatePublicKey(const KeyPairSettings& settings, HCRYPTPROV* provider,
                        std::u16string* containerName, BYTE** publicKey, DWORD* publicKeyLength) {
  TraceHelper trace("CreatePublicKey");
  if (settings.providerName == nullptr || provider == nullptr || containerName == nullptr ||
      publicKey == nullptr || publicKeyLength == nullptr)
    return E_INVALIDARG;
  const Platform& p = Plat();
  const char16_t* providerName = settings.providerName;
  const DWORD keySpec = settings.keySpec;
  const bool rsa = settings.algorithm == KeyAlgorithm::Rsa;
  TRACE_VALUE(providerName, settings.keyLength, keySpec, settings.generationFlags);

  // A new container gets a GUID name, so that it never meets an existing one.
  std::u16string container;
  DWORD openFlags = 0;
  const bool creating = settings.newContainer || containerName->empty();
  if (creating) {
    HRESULT hr = CreateGUIDStr(&container);
    if (hr == S_OK && container.empty()) hr = FailedCallStatusFullRule();
    TraceStep(kCreatePublicKey, u"CreateGUIDStr", hr);
    if (FAILED(hr)) return hr;
    openFlags = CRYPT_NEWKEYSET;
  } else {
    container = *containerName;
  }
  TRACE_VALUE(container.c_str());

  // A double request passes the handle of its first key in, so that both
  // keys land in one container.
  if (*provider == 0) {
    if (!p.CryptAcquireContextW(provider, container.c_str(), providerName, PROV_RSA_FULL,
                                openFlags)) {
      const HRESULT hr = FailedCallStatusFullRule();
      *provider = 0;
      return TracedStatus(kCreatePublicKey, u"CryptAcquireContext", hr);
    }
    TraceStep(kCreatePublicKey, u"CryptAcquireContext", S_OK);
  }

  // RSA hands out the public key info the request embeds; SM2 the blob,
  // which the request code turns into the point it carries.
  HRESULT hr = S_OK;
  ScopedBuffer<BYTE> exported;
  DWORD exportedLength = 0;
  {
    KeyHandle key;
    if (!p.CryptGenKey(*provider, KeyGenerationAlgId(settings.algorithm, keySpec),
                       (settings.keyLength << 16) | (settings.generationFlags & 0xFFFFu),
                       &key.value)) {
      hr = FailedCallStatusFullRule();
      key.value = 0;
      TraceStep(kCreatePublicKey, u"CryptGenKey", hr);
    } else {
      TraceStep(kCreatePublicKey, u"CryptGenKey", S_OK);
      BYTE* out = nullptr;
      if (rsa) {
        const HCRYPTPROV h = *provider;
        hr = ExportInto(
            [&](BYTE* buffer, DWORD* size) {
              return p.CryptExportPublicKeyInfo(h, keySpec, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer),
                                                size);
            },
            u"CryptExportPublicKeyInfo(1)", u"CryptExportPublicKeyInfo(2)", &out,
            &exportedLength);
      } else {
        const HCRYPTKEY k = key.value;
        hr = ExportInto(
            [&](BYTE* buffer, DWORD* size) {
              return p.CryptExportKey(k, 0, PUBLICKEYBLOB, 0, buffer, size);
            },
            u"CryptExportKey(1)", u"CryptExportKey(2)", &out, &exportedLength);
      }
      exported.reset(out);
    }
  }

  if (FAILED(hr)) {
    // A container this call created holds nothing anyone can use; a
    // caller's container is left as it was found.
    if (creating) {
      if (*provider) p.CryptReleaseContext(*provider, 0);
      *provider = 0;
      HCRYPTPROV ignored = 0;
      const BOOL deleted = p.CryptAcquireContextW(
          &ignored, container.c_str(), providerName, PROV_RSA_FULL,
          rsa ? CRYPT_DELETEKEYSET : KL_DELETEKEYSET_SM2);
      TraceStep(kCreatePublicKey, u"Delete container", deleted ? S_OK : FailedCallStatusFullRule());
    }
    return hr;
  }

  if (creating) *containerName = container;
  *publicKey = exported.release();
  *publicKeyLength = exportedLength;
  return S_OK;
}
