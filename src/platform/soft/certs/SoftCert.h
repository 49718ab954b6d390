// certs/: certificate contexts, memory, PKCS#7 and system stores, names, chains.
//
// Certificate contexts and stores of the soft platform (internal).
//
// A context (SoftCert) starts with its CERT_CONTEXT, so a PCCERT_CONTEXT
// handed out converts back. Contexts are reference-counted; a store keeps
// its contexts and lives until it is closed and no context of it is held.
// One lock guards every store and context.
#pragma once

#include <openssl/x509.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/WinTypes.h"

struct SoftStore;

using Bytes = std::vector<BYTE>;

struct SoftCert {
  CERT_CONTEXT context{};
  CERT_INFO info{};
  Bytes der;
  Bytes serial;                      // least significant byte first
  Bytes issuer, subject;             // encoded names
  std::string signatureOid, keyOid;  // dotted text
  Bytes signatureParams, keyParams, publicKey;
  std::vector<std::string> extensionOids;
  std::vector<Bytes> extensionValues;
  std::vector<CERT_EXTENSION> extensions;
  std::map<DWORD, Bytes> properties;  // raw (serialized) property values
  X509* x509 = nullptr;              // its public key left undecoded (see Decode)
  int refs = 0;              // references held outside the store
  SoftStore* store = nullptr;
  bool inStore = false;      // false once replaced or its store was freed
  HKEY origin = nullptr;     // system stores: the hive the entry lives in
};

struct SoftStore {
  enum Kind { kMemory, kSystem } kind = kMemory;
  int opens = 1;
  bool readOnly = false;
  std::u16string name;  // system store name
  HKEY hive = nullptr;  // system stores: the hive written to
  std::vector<SoftCert*> certs;
};

// The one lock of all stores and contexts.
std::recursive_mutex& SoftStoreLock();

// A new context of `der` (exactly one DER certificate), not in any store,
// with one reference; null with the last error set when it does not parse.
SoftCert* SoftNewCert(const BYTE* der, size_t size);
SoftCert* SoftCertOf(PCCERT_CONTEXT context);
// Drops one outside reference (the lock is taken inside).
void SoftReleaseCert(SoftCert* cert);
// Adds `cert` (a new context with refs 0) to `store`.
void SoftStoreAppend(SoftStore* store, SoftCert* cert);
// Takes `cert` out of its store (replaced): freed now when nobody holds
// it, else when the last holder releases it.
void SoftStoreRemove(SoftCert* cert);
// Frees a closed store whose contexts are all released.
void SoftStoreClosed(SoftStore* store);

// SHA-1 of the encoded certificate (the thumbprint).
Bytes SoftCertSha1(const SoftCert& cert);
Bytes SoftCertMd5(const SoftCert& cert);

// Serialized store entries: records of (id, 1, length, bytes).
// Writes the entry of `cert`: SHA-1, MD5, the stored properties, the
// certificate last.
Bytes SoftSerializeEntry(const SoftCert& cert);
// Reads an entry: its properties (all records before the certificate) and
// the certificate's DER. False when the records are malformed or no
// certificate record ends the entry.
bool SoftParseEntry(const BYTE* data, size_t size, std::map<DWORD, Bytes>* properties,
                    Bytes* der);

// System stores (SoftSystemStore.cpp): load a store's entries from the
// registry (`flags` of CertOpenStore: location, read-only, open-existing),
// and write one entry.
bool SoftLoadSystemStore(SoftStore* store, DWORD flags);
DWORD SoftWriteSystemEntry(const SoftStore* store, const SoftCert& cert);
// Deletes the registry entry of `cert` from its hive's store: 0 or the
// registry's error (a missing entry is not one).
DWORD SoftDeleteSystemEntry(const SoftStore* store, const SoftCert& cert);

// CERT_KEY_PROV_INFO_PROP_ID as the registry keeps it: the record with
// 32-bit offsets from its start in place of pointers, then the parameters
// and the strings (SoftKeyProvInfo.cpp).
Bytes SoftSerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO& info);
// The CRYPT_KEY_PROV_INFO of a serialized record, laid out in `out` with
// its strings and parameters behind it: the size needed, 0 when the record
// is malformed. Writes only when `outSize` is large enough.
size_t SoftDecodeKeyProvInfo(const Bytes& record, void* out, size_t outSize);
