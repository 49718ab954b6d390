// Key generation, container keys, export and key parameters.
#include <openssl/x509.h>

#include <cstring>

#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/crypto/SoftDer.h"
#include "platform/soft/crypto/SoftKeyBlobs.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr size_t kCertificateLimit = 1 << 20;
const char kRsaOid[] = "1.2.840.113549.1.1.1";
const char kEcOid[] = "1.2.840.10045.2.1";
const BYTE kNullParams[] = {0x05, 0x00};
const BYTE kSm2CurveParams[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

// The key spec and algorithm of a CryptGenKey identifier for a provider;
// false when the provider has no such key pair.
bool PairOf(const SoftProvider& provider, ALG_ID requested, DWORD* spec, ALG_ID* algid) {
  const bool sm2 = provider.kind == SoftProviderKind::kSm2Token;
  if (requested == AT_KEYEXCHANGE || requested == (sm2 ? KL_CALG_SM2_KEYX : CALG_RSA_KEYX)) {
    *spec = AT_KEYEXCHANGE;
    *algid = sm2 ? KL_CALG_SM2_KEYX : CALG_RSA_KEYX;
    return true;
  }
  if (requested == AT_SIGNATURE || requested == (sm2 ? KL_CALG_SM2_SIGN : CALG_RSA_SIGN)) {
    *spec = AT_SIGNATURE;
    *algid = sm2 ? KL_CALG_SM2_SIGN : CALG_RSA_SIGN;
    return true;
  }
  return false;
}

// DES keys carry odd parity in each octet, as the platform generates them.
void SetDesParity(BYTE* key, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    BYTE b = key[i] & 0xFE;
    int ones = 0;
    for (BYTE v = b; v; v >>= 1) ones += v & 1;
    key[i] = static_cast<BYTE>(b | ((ones % 2) ? 0 : 1));
  }
}

bool IsDesFamily(ALG_ID alg) { return alg == CALG_DES || alg == CALG_3DES_112 || alg == CALG_3DES; }

BOOL GenSessionKey(const std::shared_ptr<SoftProv>& prov, ALG_ID algid, DWORD flags,
                   HCRYPTKEY* handle) {
  auto key = std::make_shared<SoftKey>();
  key->prov = prov;
  key->kind = SoftKeyKind::kSession;
  key->algid = algid;
  key->exportable = (flags & CRYPT_EXPORTABLE) != 0;
  key->session.size = SoftSessionKeySize(algid);
  if (RAND_bytes(key->session.bytes, static_cast<int>(key->session.size)) != 1)
    return SoftFail(static_cast<DWORD>(NTE_FAIL));
  if (IsDesFamily(algid)) SetDesParity(key->session.bytes, key->session.size);
  *handle = SoftKeys().Add(std::move(key));
  return TRUE;
}

BOOL CryptGenKeyImpl(HCRYPTPROV handle, ALG_ID requested, DWORD flags, HCRYPTKEY* key) {
  std::shared_ptr<SoftProv> prov = SoftProvs().Get(handle);
  if (!prov) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  if (key == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  const SoftProvider& provider = *prov->provider;
  DWORD spec;
  ALG_ID algid;
  if (!PairOf(provider, requested, &spec, &algid)) {
    if (SoftSessionKeySize(requested) == 0 || SoftFindAlg(provider, requested) == nullptr)
      return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
    return GenSessionKey(prov, requested, flags, key);
  }
  const bool exportable = !SoftIsToken(provider) && (flags & CRYPT_EXPORTABLE) != 0;
  EvpPkey pkey;
  if (provider.kind == SoftProviderKind::kSm2Token) {
    // SM2 keys are always 256 bits; the length in the flags is not used.
    if (DWORD e = SoftGenerateSm2(&pkey)) return SoftFail(e);
  } else {
    const SoftAlg* alg = SoftFindAlg(provider, algid);
    DWORD bits = flags >> 16;
    if (bits == 0) bits = alg->defaultLen;
    if (bits < alg->minLen || bits > alg->maxLen || bits % 8 != 0)
      return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
    if (DWORD e = SoftGenerateRsa(bits, &pkey)) return SoftFail(e);
  }
  return SoftStoreKeyPair(prov, spec, algid, exportable, std::move(pkey), key);
}

BOOL CryptGetUserKeyImpl(HCRYPTPROV handle, DWORD spec, HCRYPTKEY* key) {
  std::shared_ptr<SoftProv> prov = SoftProvs().Get(handle);
  if (!prov) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  if (key == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) return SoftFail(static_cast<DWORD>(NTE_NO_KEY));
  auto opened = std::make_shared<SoftKey>();
  if (DWORD e = SoftUseKeyPair(*prov, spec, &opened->pkey, &opened->algid, &opened->exportable))
    return SoftFail(e);
  opened->prov = prov;
  opened->kind = SoftKindOfAlg(opened->algid);
  opened->spec = spec;
  opened->hasPrivate = true;
  *key = SoftKeys().Add(std::move(opened));
  return TRUE;
}

// SIMPLEBLOB of a session key wrapped for an RSA public key: PKCS#1 v1.5
// type 2, little-endian.
DWORD WrapSession(const SoftKey& session, const SoftKey& wrapper, SecretBytes* blob) {
  if (wrapper.kind != SoftKeyKind::kRsa) return static_cast<DWORD>(NTE_BAD_KEY);
  const size_t m = static_cast<size_t>(EVP_PKEY_get_size(wrapper.pkey.get()));
  const size_t k = session.session.size;
  if (m < k + 11) return static_cast<DWORD>(NTE_BAD_LEN);
  SecretBytes block(m, 0);
  block[1] = 0x02;
  if (RAND_bytes(block.data() + 2, static_cast<int>(m - k - 3)) != 1) return static_cast<DWORD>(NTE_FAIL);
  for (size_t i = 2; i < m - k - 1; ++i)
    if (block[i] == 0) block[i] = 1;
  std::memcpy(block.data() + m - k, session.session.bytes, k);
  blob->assign(12 + m, 0);
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new(wrapper.pkey.get(), nullptr));
  size_t outSize = m;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
      EVP_PKEY_encrypt(ctx.get(), blob->data() + 12, &outSize, block.data(), m) <= 0 ||
      outSize != m)
    return static_cast<DWORD>(NTE_FAIL);
  SoftReverse(blob->data() + 12, m);
  BYTE* p = blob->data();
  p[0] = SIMPLEBLOB;
  p[1] = CUR_BLOB_VERSION;
  StoreLe32(p + 4, session.algid);
  StoreLe32(p + 8, CALG_RSA_KEYX);
  return ERROR_SUCCESS;
}

BOOL CryptExportKeyImpl(HCRYPTKEY handle, HCRYPTKEY expKey, DWORD blobType, DWORD flags, BYTE* data,
                        DWORD* dataLen) {
  std::shared_ptr<SoftKey> key = SoftKeys().Get(handle);
  if (!key) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  SecretBytes blob;
  DWORD e = ERROR_SUCCESS;
  switch (blobType) {
    case PUBLICKEYBLOB:
      if (key->kind == SoftKeyKind::kRsa) e = SoftExportRsaBlob(key->pkey.get(), key->algid, false, &blob);
      else if (key->kind == SoftKeyKind::kSm2) e = SoftExportSm2PublicBlob(key->pkey.get(), key->algid, &blob);
      else e = static_cast<DWORD>(NTE_BAD_KEY);
      break;
    case PRIVATEKEYBLOB:
      if (key->kind != SoftKeyKind::kRsa || !key->hasPrivate) e = static_cast<DWORD>(NTE_BAD_KEY);
      else if (!key->exportable) e = static_cast<DWORD>(NTE_BAD_KEY_STATE);
      else e = SoftExportRsaBlob(key->pkey.get(), key->algid, true, &blob);
      break;
    case PLAINTEXTKEYBLOB:
      if (key->kind != SoftKeyKind::kSession) e = static_cast<DWORD>(NTE_BAD_KEY);
      else if (!key->exportable) e = static_cast<DWORD>(NTE_BAD_KEY_STATE);
      else {
        blob.assign(12 + key->session.size, 0);
        blob[0] = PLAINTEXTKEYBLOB;
        blob[1] = CUR_BLOB_VERSION;
        StoreLe32(blob.data() + 4, key->algid);
        StoreLe32(blob.data() + 8, key->session.size);
        std::memcpy(blob.data() + 12, key->session.bytes, key->session.size);
      }
      break;
    case SIMPLEBLOB: {
      std::shared_ptr<SoftKey> wrapper = SoftKeys().Get(expKey);
      if (key->kind != SoftKeyKind::kSession) e = static_cast<DWORD>(NTE_BAD_KEY);
      else if (!wrapper) e = static_cast<DWORD>(NTE_BAD_PUBLIC_KEY);
      else if (!key->exportable) e = static_cast<DWORD>(NTE_BAD_KEY_STATE);
      else e = WrapSession(*key, *wrapper, &blob);
      break;
    }
    default:
      e = static_cast<DWORD>(NTE_BAD_TYPE);
  }
  if (e != ERROR_SUCCESS) return SoftFail(e);
  return SoftCopyOut(blob.data(), static_cast<DWORD>(blob.size()), data, dataLen);
}

// CERT_PUBLIC_KEY_INFO followed by what it points at, in one buffer.
BOOL CryptExportPublicKeyInfoImpl(HCRYPTPROV handle, DWORD spec, DWORD encodingType,
                                  CERT_PUBLIC_KEY_INFO* info, DWORD* infoLen) {
  std::shared_ptr<SoftProv> prov = SoftProvs().Get(handle);
  if (!prov) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  if (infoLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if ((encodingType & X509_ASN_ENCODING) == 0) return SoftFail(ERROR_FILE_NOT_FOUND);
  EvpPkey pkey;
  ALG_ID algid = 0;
  bool exportable = false;
  if (DWORD e = SoftUseKeyPair(*prov, spec, &pkey, &algid, &exportable)) return SoftFail(e);
  const SoftKeyKind kind = SoftKindOfAlg(algid);
  std::vector<BYTE> publicKey;
  if (kind == SoftKeyKind::kRsa) {
    const int size = i2d_PublicKey(pkey.get(), nullptr);  // DER RSAPublicKey
    if (size <= 0) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
    publicKey.resize(static_cast<size_t>(size));
    BYTE* p = publicKey.data();
    i2d_PublicKey(pkey.get(), &p);
  } else if (DWORD e = SoftSm2PublicPoint(pkey.get(), &publicKey)) {
    return SoftFail(e);
  }
  const char* oid = kind == SoftKeyKind::kRsa ? kRsaOid : kEcOid;
  const BYTE* params = kind == SoftKeyKind::kRsa ? kNullParams : kSm2CurveParams;
  const size_t paramsSize = kind == SoftKeyKind::kRsa ? sizeof kNullParams : sizeof kSm2CurveParams;
  const size_t oidSize = std::strlen(oid) + 1;
  const DWORD total = static_cast<DWORD>(sizeof(CERT_PUBLIC_KEY_INFO) + oidSize + paramsSize +
                                         publicKey.size());
  if (info == nullptr) {
    *infoLen = total;
    return TRUE;
  }
  if (*infoLen < total) {
    *infoLen = total;
    return SoftFail(ERROR_MORE_DATA);
  }
  BYTE* p = reinterpret_cast<BYTE*>(info) + sizeof(CERT_PUBLIC_KEY_INFO);
  std::memcpy(p, oid, oidSize);
  info->Algorithm.pszObjId = reinterpret_cast<char*>(p);
  p += oidSize;
  std::memcpy(p, params, paramsSize);
  info->Algorithm.Parameters = {static_cast<DWORD>(paramsSize), p};
  p += paramsSize;
  std::memcpy(p, publicKey.data(), publicKey.size());
  info->PublicKey = {static_cast<DWORD>(publicKey.size()), p, 0};
  *infoLen = total;
  return TRUE;
}

DWORD BlockBytes(const SoftKey& key) {
  return (key.algid == CALG_AES_128 || key.algid == CALG_AES_192 || key.algid == CALG_AES_256) ? 16
                                                                                                : 8;
}

// Binds a DER certificate to a token's container key. The certificate
// must carry the key's own public key.
BOOL SetCertificate(SoftKey& key, const BYTE* data) {
  if (!SoftIsToken(*key.prov->provider) || key.spec == 0) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  const size_t size = SoftDerTotalLength(data, kCertificateLimit);
  const BYTE* p = data;
  using X509Ptr = std::unique_ptr<X509, SoftOsslFree<X509, X509_free>>;
  X509Ptr cert(size ? d2i_X509(nullptr, &p, static_cast<long>(size)) : nullptr);
  if (!cert || p != data + size) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
  EVP_PKEY* certKey = X509_get0_pubkey(cert.get());
  auto encodePublic = [](EVP_PKEY* k) {
    std::vector<BYTE> out;
    const int n = k ? i2d_PublicKey(k, nullptr) : 0;
    if (n > 0) {
      out.resize(static_cast<size_t>(n));
      BYTE* q = out.data();
      i2d_PublicKey(k, &q);
    }
    return out;
  };
  // RSA keys compare by their numbers (encoding both keys looks up
  // OpenSSL's encoders on every call); SM2 keys by their encoded points,
  // since a certificate's key may come back as an EC key on the SM2 curve.
  const bool rsa = certKey != nullptr && EVP_PKEY_is_a(key.pkey.get(), "RSA") &&
                   EVP_PKEY_is_a(certKey, "RSA");
  const std::vector<BYTE> ours = rsa ? std::vector<BYTE>() : encodePublic(key.pkey.get());
  if (rsa ? EVP_PKEY_eq(key.pkey.get(), certKey) != 1 : ours.empty() || ours != encodePublic(certKey))
    return SoftFail(static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
  if (key.unsaved) {
    key.unsaved->certificate.assign(data, data + size);
    if (DWORD e = SoftContainerPutKey(*key.prov, key.spec, *key.unsaved)) return SoftFail(e);
    key.unsaved.reset();
    return TRUE;
  }
  if (DWORD e = SoftContainerSetCertificate(*key.prov, key.spec, data, size)) return SoftFail(e);
  return TRUE;
}

BOOL CryptSetKeyParamImpl(HCRYPTKEY handle, DWORD param, const BYTE* data, DWORD flags) {
  std::shared_ptr<SoftKey> key = SoftKeys().Get(handle);
  if (!key) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (data == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  (void)flags;
  const bool session = key->kind == SoftKeyKind::kSession;
  switch (param) {
    case KP_MODE: {
      const DWORD mode = LoadLe32(data);
      if (!session) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
      if (mode != CRYPT_MODE_ECB && mode != CRYPT_MODE_CBC) return SoftFail(static_cast<DWORD>(NTE_BAD_DATA));
      key->mode = mode;
      return TRUE;
    }
    case KP_IV:
      if (!session) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
      std::memcpy(key->iv, data, BlockBytes(*key));
      std::memcpy(key->feedback, key->iv, sizeof key->iv);
      return TRUE;
    case KP_CERTIFICATE:
      return SetCertificate(*key, data);
    default:
      return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
}

DWORD KeyBits(const SoftKey& key) {
  if (key.kind == SoftKeyKind::kSession) return key.session.size * 8;
  if (key.kind == SoftKeyKind::kSm2) return 256;
  return SoftRsaBits(key.pkey.get());
}

BOOL CryptGetKeyParamImpl(HCRYPTKEY handle, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags) {
  std::shared_ptr<SoftKey> key = SoftKeys().Get(handle);
  if (!key) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  const bool session = key->kind == SoftKeyKind::kSession;
  DWORD value = 0;
  switch (param) {
    case KP_ALGID: value = key->algid; break;
    case KP_KEYLEN: value = KeyBits(*key); break;
    case KP_BLOCKLEN: value = session ? BlockBytes(*key) * 8 : KeyBits(*key); break;
    case KP_MODE:
      if (!session) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
      value = key->mode;
      break;
    case KP_IV:
      if (!session) return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
      return SoftCopyOut(key->iv, BlockBytes(*key), data, dataLen);
    case KP_CERTIFICATE: {
      if (!SoftIsToken(*key->prov->provider) || key->spec == 0)
        return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
      SoftStoredKey stored;
      if (DWORD e = SoftLoadKeyPair(*key->prov, key->spec, &stored)) return SoftFail(e);
      if (stored.certificate.empty()) return SoftFail(static_cast<DWORD>(NTE_NOT_FOUND));
      return SoftCopyOut(stored.certificate.data(), static_cast<DWORD>(stored.certificate.size()),
                         data, dataLen);
    }
    default:
      return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
  return SoftCopyOut(&value, sizeof value, data, dataLen);
}

BOOL CryptDestroyKeyImpl(HCRYPTKEY handle) {
  // The key's secrets are wiped as the object goes (SoftSessionKey,
  // EVP_PKEY's cleared numbers) once no operation holds it any more.
  std::shared_ptr<SoftKey> key = SoftKeys().Get(handle);
  if (!key || !SoftKeys().Remove(handle)) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (key->unsaved)
    if (DWORD e = SoftContainerPutKey(*key->prov, key->spec, *key->unsaved)) return SoftFail(e);
  return TRUE;
}

}  // namespace

DWORD SoftLoadKeyPair(SoftProv& prov, DWORD spec, SoftStoredKey* stored) {
  if (!prov.ephemeral && prov.container.empty()) return static_cast<DWORD>(NTE_NO_KEY);
  return SoftContainerGetKey(prov, spec, stored);
}

DWORD SoftUseKeyPair(SoftProv& prov, DWORD spec, EvpPkey* pkey, ALG_ID* algid, bool* exportable) {
  if (prov.ephemeral || prov.container.empty()) {
    SoftStoredKey stored;
    if (DWORD e = SoftLoadKeyPair(prov, spec, &stored)) return e;
    *algid = stored.algid;
    *exportable = stored.exportable;
    return SoftKeyFromMaterial(SoftKindOfAlg(stored.algid), stored.material, pkey);
  }
  SoftCachedPair pair;
  if (DWORD e = SoftContainerCachedKey(prov, spec, &pair)) return e;
  *algid = pair.algid;
  *exportable = pair.exportable;
  *pkey = std::move(pair.pkey);
  return ERROR_SUCCESS;
}

BOOL SoftOpenStoredKey(const std::shared_ptr<SoftProv>& prov, DWORD spec,
                       const SoftStoredKey& stored, HCRYPTKEY* handle) {
  auto key = std::make_shared<SoftKey>();
  key->prov = prov;
  key->kind = SoftKindOfAlg(stored.algid);
  key->algid = stored.algid;
  key->spec = spec;
  key->exportable = stored.exportable;
  key->hasPrivate = true;
  if (DWORD e = SoftKeyFromMaterial(key->kind, stored.material, &key->pkey)) return SoftFail(e);
  *handle = SoftKeys().Add(std::move(key));
  return TRUE;
}

namespace {

BOOL KeepKeyPair(const std::shared_ptr<SoftProv>& prov, DWORD spec, ALG_ID algid,
                 bool exportable, EvpPkey pkey, bool staged, HCRYPTKEY* handle) {
  auto stored = std::make_unique<SoftStoredKey>();
  stored->algid = algid;
  stored->exportable = exportable;
  const SoftKeyKind kind = SoftKindOfAlg(algid);
  if (DWORD e = SoftKeyMaterial(kind, pkey.get(), &stored->material)) return SoftFail(e);
  staged = staged && !prov->ephemeral;
  if (!staged)
    if (DWORD e = SoftContainerPutKey(*prov, spec, *stored)) return SoftFail(e);
  auto key = std::make_shared<SoftKey>();
  if (staged) key->unsaved = std::move(stored);
  key->prov = prov;
  key->kind = kind;
  key->algid = algid;
  key->spec = spec;
  key->exportable = exportable;
  key->hasPrivate = true;
  key->pkey = std::move(pkey);
  *handle = SoftKeys().Add(std::move(key));
  return TRUE;
}

}  // namespace

BOOL SoftStoreKeyPair(const std::shared_ptr<SoftProv>& prov, DWORD spec, ALG_ID algid,
                      bool exportable, EvpPkey pkey, HCRYPTKEY* handle) {
  return KeepKeyPair(prov, spec, algid, exportable, std::move(pkey), false, handle);
}

BOOL SoftStageKeyPair(const std::shared_ptr<SoftProv>& prov, DWORD spec, ALG_ID algid,
                      bool exportable, EvpPkey pkey, HCRYPTKEY* handle) {
  return KeepKeyPair(prov, spec, algid, exportable, std::move(pkey), true, handle);
}

void SoftFillCryptKey(Platform& t) {
  t.CryptGenKey = &CryptGenKeyImpl;
  t.CryptGetUserKey = &CryptGetUserKeyImpl;
  t.CryptExportKey = &CryptExportKeyImpl;
  t.CryptExportPublicKeyInfo = &CryptExportPublicKeyInfoImpl;
  t.CryptSetKeyParam = &CryptSetKeyParamImpl;
  t.CryptGetKeyParam = &CryptGetKeyParamImpl;
  t.CryptDestroyKey = &CryptDestroyKeyImpl;
}
