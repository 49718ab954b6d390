// crypto/: the software RSA and token providers, their keys and hashes.
//
// The soft platform's cryptographic providers: the provider catalogue,
// the provider, key and hash objects behind the handles, and helpers the
// Crypt* entries share.
//
// Containers live in a home's database (the user's, or the machine's with
// CRYPT_MACHINE_KEYSET); handles are process-local. The four software RSA
// providers share one container namespace ("rsa"), each token has its own.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/ByteOrder.h"
#include "platform/soft/SoftOssl.h"
#include "platform/soft/registry/SoftDatabase.h"
#include "platform/soft/SoftTable.h"

// One algorithm of a provider's PP_ENUMALGS_EX list.
struct SoftAlg {
  ALG_ID id;
  DWORD defaultLen, minLen, maxLen;
  const char* name;
  const char* longName;
};

enum class SoftProviderKind { kSoftRsa, kRsaToken, kSm2Token };

struct SoftProvider {
  const char16_t* name;
  SoftProviderKind kind;
  const char* family;  // container namespace
  const SoftAlg* algs;
  size_t algCount;
  DWORD type = PROV_RSA_FULL;  // the type it is registered with, and opened with
};

// The catalogue in enumeration order; null past the end.
const SoftProvider* SoftProviderAt(DWORD index);
// The provider of that name (exact, as the platform compares); null when none.
const SoftProvider* SoftFindProvider(const char16_t* name);
// The provider's entry for `alg`; null when it does not offer it.
const SoftAlg* SoftFindAlg(const SoftProvider& provider, ALG_ID alg);
bool SoftIsToken(const SoftProvider& provider);

// A stored asymmetric key as the container keeps it.
struct SoftStoredKey {
  ALG_ID algid = 0;
  bool exportable = false;
  SecretBytes material;              // see SoftKeyMaterial
  std::vector<BYTE> certificate;     // DER, tokens only; empty when none
};

// The container's key pairs as parsed OpenSSL keys, kept with the open
// provider so that signing neither reads nor parses the container each
// time. Each entry carries the database's content stamp from when it was
// read and is used only while the stamp is unchanged, so a key replaced or
// a container deleted through another handle or process is seen. The
// private numbers are wiped when the keys are freed (OpenSSL clears them).
struct SoftCachedPair {
  uint64_t stamp = 0;
  ALG_ID algid = 0;
  bool exportable = false;
  EvpPkey pkey;
};
struct SoftPairCache {
  std::mutex lock;
  std::map<DWORD, SoftCachedPair> bySpec;
};

// An open provider (HCRYPTPROV).
struct SoftProv {
  const SoftProvider* provider = nullptr;
  std::string container;  // UTF-8; empty for a verification context
  SoftScope scope = SoftScope::kUser;
  bool ephemeral = false;  // keys of a verification context live in memory
  std::map<DWORD, SoftStoredKey> memoryKeys;  // spec -> key, ephemeral only
  size_t algIndex = 0;
  size_t containerIndex = 0;
  std::vector<std::string> containerList;
  SoftPairCache pairs;  // stored containers only
  bool created = false;  // this context made the container: it settles it when released
};

enum class SoftKeyKind { kRsa, kSm2, kSession };

// Symmetric key bytes, wiped by the destructor.
struct SoftSessionKey {
  BYTE bytes[32] = {};
  DWORD size = 0;
  ~SoftSessionKey() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

// A key object (HCRYPTKEY).
struct SoftKey {
  std::shared_ptr<SoftProv> prov;
  SoftKeyKind kind = SoftKeyKind::kSession;
  ALG_ID algid = 0;
  DWORD spec = 0;  // 1 or 2 for a container's key pair, 0 otherwise
  bool exportable = false;
  bool hasPrivate = false;
  EvpPkey pkey;            // RSA or SM2
  SoftSessionKey session;  // DES, 3DES, AES
  DWORD mode = CRYPT_MODE_CBC;
  BYTE iv[16] = {};
  BYTE feedback[16] = {};  // the chaining value between CryptDecrypt calls
  // A token's imported key not stored yet: it goes in with its certificate
  // (KP_CERTIFICATE) in one transaction, or alone when the handle is
  // destroyed without one.
  std::unique_ptr<SoftStoredKey> unsaved;
};

// A hash object (HCRYPTHASH).
struct SoftHash {
  std::shared_ptr<SoftProv> prov;
  ALG_ID algid = 0;
  EvpMdCtx ctx;
  std::vector<BYTE> message;  // SM3 keeps the data for the SM2 digest
  bool finished = false;
  std::vector<BYTE> value;
};

// Handle tables: handles are small integers that name live objects.
template <typename T>
class SoftHandleTable {
 public:
  explicit SoftHandleTable(ULONG_PTR base) : next_(base) {}
  ULONG_PTR Add(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> hold(lock_);
    const ULONG_PTR handle = next_++;
    objects_[handle] = std::move(object);
    return handle;
  }
  std::shared_ptr<T> Get(ULONG_PTR handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> Remove(ULONG_PTR handle) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  std::mutex lock_;
  ULONG_PTR next_;
  std::map<ULONG_PTR, std::shared_ptr<T>> objects_;
};

SoftHandleTable<SoftProv>& SoftProvs();
SoftHandleTable<SoftKey>& SoftKeys();
SoftHandleTable<SoftHash>& SoftHashes();

// Sets the last error and answers FALSE, the failure of every Crypt* call.
inline BOOL SoftFail(DWORD error) {
  SoftSetLastError(error);
  return FALSE;
}
// Stores `size` octets at `data` under the size-query convention: null
// data answers the size; too small a buffer fails with ERROR_MORE_DATA.
BOOL SoftCopyOut(const void* source, DWORD size, BYTE* data, DWORD* dataLen);

// Reverses octets (the platform's little-endian numbers against DER's
// big-endian ones).
void SoftReverse(BYTE* data, size_t size);

// Containers of a provider's family in a home. Results are the provider
// codes (NTE_BAD_KEYSET, NTE_EXISTS, NTE_NO_KEY) or Win32 codes.
DWORD SoftContainerCreate(const SoftProv& prov);
DWORD SoftContainerCheck(const SoftProv& prov);
DWORD SoftContainerDelete(const SoftProv& prov);
DWORD SoftContainerList(const SoftProv& prov, std::vector<std::string>* names);
// Stores the key pair of `spec`, replacing the one there (and its
// certificate).
DWORD SoftContainerPutKey(SoftProv& prov, DWORD spec, const SoftStoredKey& key);
DWORD SoftContainerGetKey(SoftProv& prov, DWORD spec, SoftStoredKey* key);
// The container key of `spec` as a cached OpenSSL key: the cached entry
// when the database is unchanged since it was read, else the stored key
// read, parsed and cached. Stored containers only.
DWORD SoftContainerCachedKey(SoftProv& prov, DWORD spec, SoftCachedPair* key);
DWORD SoftContainerSetCertificate(SoftProv& prov, DWORD spec, const BYTE* der, size_t size);

// Key material: RSA keys are stored as their PRIVATEKEYBLOB ("RSA2"), SM2
// keys as the 32-octet private scalar followed by the 65-octet public
// point. Both load through parameters in cleared memory, never through a
// DER decoder's unwiped copies.
DWORD SoftGenerateRsa(DWORD bits, EvpPkey* key);
DWORD SoftGenerateSm2(EvpPkey* key);
DWORD SoftKeyMaterial(SoftKeyKind kind, EVP_PKEY* key, SecretBytes* material);
DWORD SoftKeyFromMaterial(SoftKeyKind kind, const SecretBytes& material, EvpPkey* key);
// An SM2 key from its private scalar (big-endian, 32 octets); the public
// point is derived.
DWORD SoftSm2FromPrivate(const BYTE* scalar, EvpPkey* key);
// The uncompressed public point 04 || X || Y of an SM2 key.
DWORD SoftSm2PublicPoint(EVP_PKEY* key, std::vector<BYTE>* point);
SoftKeyKind SoftKindOfAlg(ALG_ID algid);

// A new key handle for the container key `spec` of `prov` built from a
// stored key.
BOOL SoftOpenStoredKey(const std::shared_ptr<SoftProv>& prov, DWORD spec,
                       const SoftStoredKey& stored, HCRYPTKEY* key);
// Stores a key pair in the provider's container (or its memory for a
// verification context) and opens a handle to it.
// As SoftStoreKeyPair, but for a token's import: the key is stored when
// its certificate is bound or its handle destroyed, so that an interrupted
// import leaves the container as it was.
BOOL SoftStageKeyPair(const std::shared_ptr<SoftProv>& prov, DWORD spec, ALG_ID algid,
                      bool exportable, EvpPkey pkey, HCRYPTKEY* handle);
// Ends the pending state of a container this process created: called when
// the creating context is released, after the request's last key.
DWORD SoftContainerSettle(const SoftProv& prov);
BOOL SoftStoreKeyPair(const std::shared_ptr<SoftProv>& prov, DWORD spec, ALG_ID algid,
                      bool exportable, EvpPkey pkey, HCRYPTKEY* key);
// Loads the container key of `spec`.
DWORD SoftLoadKeyPair(SoftProv& prov, DWORD spec, SoftStoredKey* stored);
// The container key of `spec` parsed: *pkey gets its own reference to the
// provider's cached key (re-read when the container changed), *algid and
// *exportable its stored attributes.
DWORD SoftUseKeyPair(SoftProv& prov, DWORD spec, EvpPkey* pkey, ALG_ID* algid, bool* exportable);

// RSA with the raw private operation and with PKCS#1 v1.5 padding.
DWORD SoftRsaRawPrivate(EVP_PKEY* key, const BYTE* in, size_t size, SecretBytes* out);
DWORD SoftRsaDecryptPkcs1(EVP_PKEY* key, const BYTE* in, size_t size, SecretBytes* out);
// Block cipher decryption without padding; `alg` a CALG_ session id.
const EVP_CIPHER* SoftCipherOf(ALG_ID alg, DWORD mode);
// The session key length in octets of `alg`, 0 when it is not a session
// algorithm.
DWORD SoftSessionKeySize(ALG_ID alg);
// Removes PKCS#5 padding from a decrypted buffer; NTE_BAD_DATA when wrong.
DWORD SoftStripPkcs5(const BYTE* data, DWORD* size, DWORD blockSize);

// Token imports of reference blobs (reserved field 1).
BOOL SoftImportRsaReference(const std::shared_ptr<SoftProv>& prov, const BYTE* blob, DWORD size,
                            HCRYPTKEY* key);
BOOL SoftImportSm2Reference(const std::shared_ptr<SoftProv>& prov, const BYTE* blob, DWORD size,
                            HCRYPTKEY* key);

// Feeds more data to a hash object (CryptDecrypt with a hash).
BOOL SoftHashAppend(HCRYPTHASH hash, const BYTE* data, DWORD size);

// The fillers of the crypto area, called by SoftFillCrypto.
void SoftFillCryptContext(Platform& t);
void SoftFillCryptKey(Platform& t);
void SoftFillCryptImport(Platform& t);
void SoftFillCryptDecrypt(Platform& t);
void SoftFillCryptEncrypt(Platform& t);
void SoftFillCryptHash(Platform& t);
