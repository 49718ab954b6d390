// Helpers of the provider tests: calls through the platform table, and
// OpenSSL used directly as the independent party (reading the platform's
// blobs, verifying signatures, building envelopes).
#pragma once

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <string>
#include <vector>

#include "base/Platform.h"
#include "support/TestPki.h"

// The last error of the active table as the HRESULT-style code.
inline DWORD LastError() { return Plat().GetLastError(); }
#define EXPECT_FAILS_WITH(code, call)                 \
  do {                                                \
    EXPECT_FALSE(call);                               \
    EXPECT_EQ(static_cast<DWORD>(code), LastError()); \
  } while (0)

// Owns a provider handle of the table.
struct Prov {
  HCRYPTPROV h = 0;
  Prov() = default;
  Prov(const Prov&) = delete;
  ~Prov() {
    if (h) Plat().CryptReleaseContext(h, 0);
  }
  // Releases the handle held and acquires `container` of `provider` (type 1).
  bool Acquire(const char16_t* container, const char16_t* provider, DWORD flags) {
    if (h) Plat().CryptReleaseContext(h, 0);
    h = 0;
    return Plat().CryptAcquireContextW(&h, container, provider, PROV_RSA_FULL, flags) != FALSE;
  }
};

// Owns a key handle.
struct Key {
  HCRYPTKEY h = 0;
  Key() = default;
  Key(const Key&) = delete;
  ~Key() {
    if (h) Plat().CryptDestroyKey(h);
  }
};

// CryptExportKey with the size query first; empty on failure.
Bytes ExportKey(HCRYPTKEY key, DWORD blobType, HCRYPTKEY wrapKey = 0);
// A key parameter that is one DWORD; ~0 on failure.
DWORD KeyParam(HCRYPTKEY key, DWORD param);
// Hashes `data` with `algid` in `prov` and signs it with the key of `spec`;
// empty on failure.
Bytes SignData(HCRYPTPROV prov, ALG_ID algid, const Bytes& data, DWORD spec);
// A container name unique within the test run.
std::u16string UniqueContainer(const char* tag);
// The container names `prov` enumerates: CRYPT_FIRST, then CRYPT_NEXT until
// the provider fails (ERROR_NO_MORE_ITEMS at the end).
std::vector<std::string> ContainerNames(HCRYPTPROV prov);
// Creates a new container (named after `tag`) of `provider` in `prov` and
// generates a key of `alg` with `flags` (bits << 16 and options) in it.
bool NewContainerKey(Prov* prov, Key* key, const char* tag, const char16_t* provider, ALG_ID alg,
                     DWORD flags);

// Imports `des3` in the clear (PLAINTEXTKEYBLOB: 08 02 00 00 | CALG_3DES
// 03 66 00 00 | length 24 | key) into `prov` and sets KP_MODE to `mode`
// unless 0; true when both calls work, the key in *key.
bool ImportPlain3Des(HCRYPTPROV prov, const Bytes& des3, DWORD mode, HCRYPTKEY* key);

// OpenSSL's view of the platform's public-key blobs; null when malformed.
Pkey RsaFromPublicBlob(const Bytes& blob);
Pkey Sm2FromPublicBlob(const Bytes& blob);
// OpenSSL verifies a platform signature (little-endian) over `data`.
bool VerifyRsa(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature);
bool VerifySm2(EVP_PKEY* key, const Bytes& data, const Bytes& signature, const char* id);
Bytes Reversed(Bytes b);
Bytes Random(size_t size);
// OpenSSL's public-key encryption of `plain` (`padding` 0: the default).
Bytes PkeyEncrypt(EVP_PKEY* key, const Bytes& plain, int padding);
// Symmetric encryption by OpenSSL (PKCS#5 padding when `pad`), no IV.
Bytes Encipher(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& plain, bool pad);
// A DER element of `tag` around `content` (definite length), written here
// by hand; `parts` are concatenated as the content.
Bytes Tlv(BYTE tag, const std::vector<Bytes>& parts);
