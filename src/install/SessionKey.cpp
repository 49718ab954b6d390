// Opening the plain envelope: the session key with the temporary key, then
// the private key with the session key, brought into a software provider
// through an RSA key whose exponents are all 1.
#include "install/SessionKey.h"

#include <algorithm>
#include <cstring>

#include "base/ByteOrder.h"
#include "base/Platform.h"
#include "base/PlatformHandles.h"
#include "base/Status.h"
#include "encoding/Buffer.h"
#include "install/StepTrace.h"
#include "trace/Trace.h"

TRACE_COMPONENT("SessionKey");

namespace {

constexpr DWORD kTripleDesKeyLength = 24;
constexpr DWORD kBlobHeaderSize = 20;  // BLOBHEADER + RSAPUBKEY
constexpr DWORD kSimpleBlobHeaderSize = 12;
constexpr DWORD kMinimumPadding = 8;  // a PKCS#1 v1.5 block's least padding

// Little-endian 1 over `size` octets.
void SetOne(BYTE* p, DWORD size) {
  std::memset(p, 0, size);
  if (size > 0) p[0] = 1;
}

// A key parameter that is one DWORD.
bool KeyDword(HCRYPTKEY key, DWORD param, DWORD* value) {
  DWORD size = sizeof *value;
  return Plat().CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(value), &size, 0) != FALSE;
}

// Decrypts a copy of `data` with `key` (final block: the provider removes
// the padding) in a work buffer wiped whole when it goes, and hands the
// plaintext to the caller in a buffer of exactly its length. With
// `cutTripleDes`, a 32-octet result is cut to its first 24: some
// authorities send the 3DES key in 32 octets.
HRESULT DecryptCopy(const char16_t* function, HCRYPTKEY key, const BYTE* data, DWORD size,
                    bool cutTripleDes, BYTE** out, DWORD* outLength) {
  ScopedSecret work(AllocZeroed<BYTE>(size), size);
  if (work.get() == nullptr) return TracedStatus(function, u"new memory", E_OUTOFMEMORY);
  std::memcpy(work.get(), data, size);
  DWORD length = size;
  const HRESULT hr = PlatformStep(function, u"CryptDecrypt",
                                  Plat().CryptDecrypt(key, 0, TRUE, 0, work.get(), &length));
  if (FAILED(hr)) return hr;
  if (length > size) return TracedStatus(function, u"CryptDecrypt", E_FAIL);
  if (cutTripleDes && length == 32) length = kTripleDesKeyLength;
  BYTE* copy = AllocZeroed<BYTE>(length);
  if (copy == nullptr) return TracedStatus(function, u"new memory", E_OUTOFMEMORY);
  std::memcpy(copy, work.get(), length);
  *out = copy;
  *outLength = length;
  return S_OK;
}

// The exported PRIVATEKEYBLOB `blob` with its public exponent, exponent1,
// exponent2 and private exponent set to 1; false when the blob is shorter
// than its bit length says.
bool SetExponentsToOne(BYTE* blob, DWORD size) {
  if (size < kBlobHeaderSize) return false;
  const DWORD n = LoadLe32(blob + 12);
  const DWORD full = n / 8, half = n / 16;
  if (n == 0 || n % 16 != 0 || size < kBlobHeaderSize + full + 5 * half + full) return false;
  SetOne(blob + 16, 4);
  SetOne(blob + kBlobHeaderSize + full + 2 * half, half);  // exponent1
  SetOne(blob + kBlobHeaderSize + full + 3 * half, half);  // exponent2
  SetOne(blob + kBlobHeaderSize + full + 5 * half, full);  // private exponent
  return true;
}

// True when the provider lists `algorithm` in PP_ENUMALGS_EX (a list that
// never ends is read no further than any provider's).
bool ProviderHasAlgorithm(HCRYPTPROV provider, ALG_ID algorithm) {
  constexpr int kLongestList = 256;
  PROV_ENUMALGS_EX record{};
  for (int i = 0; i < kLongestList; ++i) {
    const DWORD flags = i == 0 ? CRYPT_FIRST : 0;
    DWORD size = sizeof record;
    if (!Plat().CryptGetProvParam(provider, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&record), &size,
                                  flags))
      return false;
    if (record.aiAlgid == algorithm) return true;
  }
  return false;
}

// The key length in bits the provider gives a new key of `algorithm`.
bool GeneratedKeyBits(HCRYPTPROV provider, ALG_ID algorithm, DWORD* bits) {
  KeyHandle key;
  if (!Plat().CryptGenKey(provider, algorithm, 0, &key.value)) {
    key.value = 0;
    return false;
  }
  return KeyDword(key.value, KP_KEYLEN, bits);
}

}  // namespace

HRESULT DecryptSessionKeywithTempKey(const std::u16string& providerName, HCRYPTPROV* provider,
                                     const std::u16string& containerName, BYTE* wrapped,
                                     DWORD wrappedLength, BYTE** sessionKey,
                                     DWORD* sessionKeyLength) {
  static constexpr char16_t kName[] = u"DecryptSessionKeywithTempKey";
  TraceHelper trace("DecryptSessionKeywithTempKey");
  const Platform& p = Plat();
  HCRYPTPROV opened = 0;
  const BOOL acquired = p.CryptAcquireContextW(&opened, containerName.c_str(), providerName.c_str(),
                                               PROV_RSA_FULL, 0);
  HRESULT hr = PlatformStep(kName, u"RSA CryptAcquireContext", acquired);
  if (FAILED(hr)) return hr;
  *provider = opened;
  // The authority writes big-endian; the provider reads little-endian.
  std::reverse(wrapped, wrapped + wrappedLength);

  KeyHandle temporaryKey;
  const BOOL gotKey = p.CryptGetUserKey(opened, AT_KEYEXCHANGE, &temporaryKey.value);
  if (!gotKey) temporaryKey.value = 0;
  hr = PlatformStep(kName, u"CryptGetUserKey", gotKey);
  if (FAILED(hr)) return hr;
  return DecryptCopy(kName, temporaryKey.value, wrapped, wrappedLength, true, sessionKey,
                     sessionKeyLength);
}

bool CreatePrivateExponentOneKey(const std::u16string& providerName, DWORD providerType,
                                 const std::u16string& container, HCRYPTPROV* provider,
                                 HCRYPTKEY* key) {
  TraceHelper trace("CreatePrivateExponentOneKey");
  const Platform& p = Plat();
  *provider = 0;
  *key = 0;
  ProviderHandle prov;
  if (!p.CryptAcquireContextW(&prov.value, container.c_str(), providerName.c_str(), providerType,
                              0) &&
      !p.CryptAcquireContextW(&prov.value, container.c_str(), providerName.c_str(), providerType,
                              CRYPT_NEWKEYSET)) {
    prov.value = 0;
    const DWORD error = p.GetLastError();
    TRACE_VALUE(u"CryptAcquireContext", error);
    return false;
  }

  ScopedSecret blob;
  {
    KeyHandle generated;
    DWORD size = 0;
    if (!p.CryptGenKey(prov.value, AT_KEYEXCHANGE, CRYPT_EXPORTABLE, &generated.value)) {
      generated.value = 0;
    } else if (p.CryptExportKey(generated.value, 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
      blob.reset(AllocZeroed<BYTE>(size), size);
      if (blob.get() != nullptr &&
          !p.CryptExportKey(generated.value, 0, PRIVATEKEYBLOB, 0, blob.get(), &size))
        blob.reset();
    }
  }
  KeyHandle exponentOne;
  if (blob.get() == nullptr || !SetExponentsToOne(blob.get(), blob.size()) ||
      !p.CryptImportKey(prov.value, blob.get(), blob.size(), 0, 0, &exponentOne.value)) {
    exponentOne.value = 0;
    const DWORD error = p.GetLastError();
    TRACE_VALUE(u"CreatePrivateExponentOneKey", error);
    return false;
  }
  *key = exponentOne.value;
  exponentOne.value = 0;
  *provider = prov.value;
  prov.value = 0;
  return true;
}

bool ImportPlainSessionBlob(HCRYPTPROV provider, HCRYPTKEY exponentOneKey, ALG_ID algorithm,
                            const BYTE* sessionKey, DWORD sessionKeyLength,
                            HCRYPTKEY* sessionKeyHandle) {
  TraceHelper trace("ImportPlainSessionBlob");
  const Platform& p = Plat();
  DWORD algorithmBits = 0, wrapAlgorithm = 0, wrapBits = 0;
  if (!ProviderHasAlgorithm(provider, algorithm) ||
      !GeneratedKeyBits(provider, algorithm, &algorithmBits) ||
      sessionKeyLength > algorithmBits / 8 || !KeyDword(exponentOneKey, KP_ALGID, &wrapAlgorithm) ||
      !KeyDword(exponentOneKey, KP_KEYLEN, &wrapBits))
    return false;
  const DWORD m = wrapBits / 8, k = sessionKeyLength;
  if (m < k + 3 + kMinimumPadding) return false;

  // Read from the end: 00 02, non-zero padding, 00, the key; the provider
  // keeps the block little-endian.
  const DWORD size = m + kSimpleBlobHeaderSize;
  ScopedSecret blob(AllocZeroed<BYTE>(size), size);
  if (blob.get() == nullptr) return false;
  BYTE* b = blob.get();
  b[0] = SIMPLEBLOB;
  b[1] = CUR_BLOB_VERSION;
  StoreLe32(b + 4, algorithm);
  StoreLe32(b + 8, wrapAlgorithm);
  BYTE* block = b + kSimpleBlobHeaderSize;
  for (DWORD i = 0; i < k; ++i) block[i] = sessionKey[k - 1 - i];
  block[k] = 0x00;
  BYTE* padding = block + k + 1;
  const DWORD paddingLength = m - k - 3;
  if (!p.CryptGenRandom(provider, paddingLength, padding)) return false;
  for (DWORD i = 0; i < paddingLength; ++i)
    if (padding[i] == 0) padding[i] = 1;
  block[m - 2] = 0x02;
  block[m - 1] = 0x00;

  HCRYPTKEY imported = 0;
  if (!p.CryptImportKey(provider, b, size, exponentOneKey, CRYPT_EXPORTABLE, &imported))
    return false;
  *sessionKeyHandle = imported;
  return true;
}

HRESULT
DecryptPrivateKeywithSessionKey(ALG_ID algorithm, const BYTE* sessionKey, DWORD sessionKeyLength,
                                const BYTE* encrypted, DWORD encryptedLength, BYTE** privateKey,
                                DWORD* privateKeyLength) {
  static constexpr char16_t kName[] = u"DecryptPrivateKeywithSessionKey";
  TraceHelper trace("DecryptPrivateKeywithSessionKey");
  const Platform& p = Plat();
  ProviderHandle provider;
  KeyHandle exponentOne, session;
  if (!CreatePrivateExponentOneKey(kExponentOneProvider, PROV_RSA_FULL, kExponentOneContainer,
                                   &provider.value, &exponentOne.value))
    return TracedStatus(kName, u"CreatePrivateExponentOneKey", KL_E_IMPORT_ENCRYPT_CERT);
  TraceStep(kName, u"CreatePrivateExponentOneKey", S_OK);
  if (!ImportPlainSessionBlob(provider.value, exponentOne.value, algorithm, sessionKey,
                              sessionKeyLength, &session.value))
    return TracedStatus(kName, u"ImportPlainSessionBlob", KL_E_IMPORT_ENCRYPT_CERT);
  TraceStep(kName, u"ImportPlainSessionBlob", S_OK);

  const DWORD mode = CRYPT_MODE_ECB;
  HRESULT hr = PlatformStep(
      kName, u"CryptSetKeyParam",
      p.CryptSetKeyParam(session.value, KP_MODE, reinterpret_cast<const BYTE*>(&mode), 0));
  if (FAILED(hr)) return hr;
  return DecryptCopy(kName, session.value, encrypted, encryptedLength, false, privateKey,
                     privateKeyLength);
}
