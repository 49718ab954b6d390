// The SM2 encryption key handed to the token by reference, and the
// temporary key's container opened for either algorithm.
#include "install/Sm2Import.h"

#include <cstdint>

#include "base/ByteOrder.h"
#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "install/SignCert.h"
#include "install/StepTrace.h"
#include "trace/Trace.h"

TRACE_COMPONENT("Sm2Import");

namespace {

constexpr DWORD kSm2ReferenceBlobSize = 24;

}  // namespace

HRESULT ImportEncryptCertEx_SM2(HCRYPTPROV provider, const BYTE* certificate,
                                DWORD certificateLength, const BYTE* privateKey,
                                DWORD privateKeyLength, DWORD importFlags) {
  static constexpr char16_t kName[] = u"ImportEncryptCertEx_SM2";
  TraceHelper trace("ImportEncryptCertEx_SM2");
  (void)certificateLength;  // KP_CERTIFICATE reads the length from the DER
  const Platform& p = Plat();

  // The token reads the wrapped key through the address while
  // CryptImportKey runs; the caller's buffer outlives the call.
  ScopedBuffer<BYTE> reference(AllocZeroed<BYTE>(kSm2ReferenceBlobSize));
  if (!reference) return TracedStatus(kName, u"New buffer", E_OUTOFMEMORY);
  BYTE* r = reference.get();
  r[0] = PRIVATEKEYBLOB;
  r[1] = CUR_BLOB_VERSION;
  r[2] = 1;  // refers to its key material
  StoreLe32(r + 4, KL_CALG_SM2_KEYX);
  StoreLe32(r + 8, KL_CALG_SM2_KEYX);
  StoreLe32(r + 12, privateKeyLength * 8);
  const uint64_t address = reinterpret_cast<uintptr_t>(privateKey);
  for (int i = 0; i < 8; ++i) r[16 + i] = static_cast<BYTE>(address >> (8 * i));

  KeyHandle key;
  const BOOL imported = p.CryptImportKey(provider, r, kSm2ReferenceBlobSize, 0, importFlags, &key.value);
  if (!imported) key.value = 0;
  const HRESULT hr = PlatformStep(kName, u"CryptImportKey", imported);
  if (FAILED(hr)) return hr;
  return PlatformStep(kName, u"CryptSetKeyParam",
                      p.CryptSetKeyParam(key.value, KP_CERTIFICATE, certificate, 0));
}

HRESULT GetCSPHandleofTempPublickey(const std::u16string& providerName,
                                    const std::u16string& containerName,
                                    const std::u16string& keyAlgorithm, HCRYPTPROV* provider) {
  static constexpr char16_t kName[] = u"GetCSPHandleofTempPublickey";
  TraceHelper trace("GetCSPHandleofTempPublickey");
  // The SM2 tokens open a named container only in the verify context.
  const bool rsa = IsRsaAlgorithmName(keyAlgorithm);
  HCRYPTPROV opened = 0;
  const BOOL ok = Plat().CryptAcquireContextW(&opened, containerName.c_str(), providerName.c_str(),
                                              PROV_RSA_FULL, rsa ? 0 : CRYPT_VERIFYCONTEXT);
  *provider = ok ? opened : 0;
  return PlatformStep(kName, rsa ? u"RSA CryptAcquireContext" : u"SM2 CryptAcquireContext", ok);
}
