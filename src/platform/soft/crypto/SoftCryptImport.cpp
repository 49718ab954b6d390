// CryptImportKey: RSA public and private key blobs, session keys wrapped
// in a SIMPLEBLOB or given as a PLAINTEXTKEYBLOB, and the tokens'
// reference blobs.
#include <cstring>

#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/crypto/SoftKeyBlobs.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr size_t kBlobHeader = 8;

BOOL NewSessionKey(const std::shared_ptr<SoftProv>& prov, ALG_ID algid, const BYTE* bytes,
                   DWORD size, DWORD flags, HCRYPTKEY* handle) {
  if (size != SoftSessionKeySize(algid)) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  auto key = std::make_shared<SoftKey>();
  key->prov = prov;
  key->kind = SoftKeyKind::kSession;
  key->algid = algid;
  key->exportable = (flags & CRYPT_EXPORTABLE) != 0;
  std::memcpy(key->session.bytes, bytes, size);
  key->session.size = size;
  *handle = SoftKeys().Add(std::move(key));
  return TRUE;
}

// SIMPLEBLOB: header, the wrapping key's algorithm, then the session key
// as a PKCS#1 v1.5 type-2 block in little-endian order, opened with the
// raw private operation of the wrapping key (so that a key whose exponents
// are 1 yields the block unchanged).
BOOL ImportSimple(const std::shared_ptr<SoftProv>& prov, const BYTE* data, DWORD size,
                  HCRYPTKEY wrapHandle, DWORD flags, HCRYPTKEY* handle) {
  std::shared_ptr<SoftKey> wrapper = SoftKeys().Get(wrapHandle);
  if (!wrapper || wrapper->kind != SoftKeyKind::kRsa || !wrapper->hasPrivate)
    return SoftFail(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
  if (size < 12) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  if (LoadLe32(data + 8) != CALG_RSA_KEYX) return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
  SecretBytes block(data + 12, data + size);
  SoftReverse(block.data(), block.size());
  SecretBytes plain;
  if (DWORD e = SoftRsaDecryptPkcs1(wrapper->pkey.get(), block.data(), block.size(), &plain))
    return SoftFail(e);
  return NewSessionKey(prov, LoadLe32(data + 4), plain.data(), static_cast<DWORD>(plain.size()),
                       flags, handle);
}

BOOL ImportPrivate(const std::shared_ptr<SoftProv>& prov, const BYTE* data, DWORD size,
                   DWORD flags, HCRYPTKEY* handle) {
  const ALG_ID algid = LoadLe32(data + 4);
  DWORD spec;
  if (algid == CALG_RSA_KEYX) spec = AT_KEYEXCHANGE;
  else if (algid == CALG_RSA_SIGN) spec = AT_SIGNATURE;
  else return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
  EvpPkey pkey;
  bool isPrivate = false;
  if (DWORD e = SoftImportRsaBlob(data, size, &pkey, &isPrivate)) return SoftFail(e);
  if (!isPrivate) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  const bool token = SoftIsToken(*prov->provider);
  const bool exportable = !token && (flags & CRYPT_EXPORTABLE) != 0;
  // A token stores an imported key together with its certificate.
  return (token ? SoftStageKeyPair : SoftStoreKeyPair)(prov, spec, algid, exportable,
                                                      std::move(pkey), handle);
}

BOOL ImportPublic(const std::shared_ptr<SoftProv>& prov, const BYTE* data, DWORD size,
                  HCRYPTKEY* handle) {
  auto key = std::make_shared<SoftKey>();
  bool isPrivate = false;
  if (DWORD e = SoftImportRsaBlob(data, size, &key->pkey, &isPrivate)) return SoftFail(e);
  if (isPrivate) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  key->prov = prov;
  key->kind = SoftKeyKind::kRsa;
  key->algid = LoadLe32(data + 4);
  key->exportable = true;
  *handle = SoftKeys().Add(std::move(key));
  return TRUE;
}

BOOL CryptImportKeyImpl(HCRYPTPROV provHandle, const BYTE* data, DWORD size, HCRYPTKEY pubKey,
                        DWORD flags, HCRYPTKEY* handle) {
  std::shared_ptr<SoftProv> prov = SoftProvs().Get(provHandle);
  if (!prov) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  if (data == nullptr || handle == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (size < kBlobHeader) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  if (data[1] != CUR_BLOB_VERSION) return SoftFail(static_cast<DWORD>(NTE_BAD_VER));
  const SoftProviderKind kind = prov->provider->kind;
  const bool reference = data[2] == 1 && data[3] == 0;
  const ALG_ID algid = LoadLe32(data + 4);
  switch (data[0]) {
    case PRIVATEKEYBLOB:
      if (reference && kind == SoftProviderKind::kRsaToken)
        return SoftImportRsaReference(prov, data, size, handle);
      if (reference && kind == SoftProviderKind::kSm2Token)
        return SoftImportSm2Reference(prov, data, size, handle);
      if (kind == SoftProviderKind::kSm2Token || pubKey != 0)
        return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
      return ImportPrivate(prov, data, size, flags, handle);
    case PUBLICKEYBLOB:
      if (kind == SoftProviderKind::kSm2Token) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
      return ImportPublic(prov, data, size, handle);
    case SIMPLEBLOB:
      if (SoftFindAlg(*prov->provider, algid) == nullptr || SoftSessionKeySize(algid) == 0)
        return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
      return ImportSimple(prov, data, size, pubKey, flags, handle);
    case PLAINTEXTKEYBLOB:
      if (SoftFindAlg(*prov->provider, algid) == nullptr || SoftSessionKeySize(algid) == 0)
        return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
      if (size < 12 || size - 12 < LoadLe32(data + 8)) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
      return NewSessionKey(prov, algid, data + 12, LoadLe32(data + 8), flags, handle);
    default:
      return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
}

}  // namespace

void SoftFillCryptImport(Platform& t) { t.CryptImportKey = &CryptImportKeyImpl; }
