// Hash objects and signatures: PKCS#1 v1.5 RSA signatures and SM2
// signatures over SM3 with the default identifier, both handed out in the
// platform's little-endian order.

#include <cstring>

#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/crypto/SoftKeyBlobs.h"
#include "platform/soft/SoftTable.h"

namespace {

constexpr DWORD kSm2SignatureSize = 64;

const EVP_MD* DigestOf(ALG_ID algid) {
  switch (algid) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    case CALG_SM3: return EVP_sm3();
    default: return nullptr;
  }
}

BOOL CryptCreateHashImpl(HCRYPTPROV handle, ALG_ID algid, HCRYPTKEY key, DWORD flags,
                         HCRYPTHASH* result) {
  std::shared_ptr<SoftProv> prov = SoftProvs().Get(handle);
  if (!prov) return SoftFail(static_cast<DWORD>(NTE_BAD_UID));
  if (result == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  const EVP_MD* md = DigestOf(algid);
  if (md == nullptr || SoftFindAlg(*prov->provider, algid) == nullptr)
    return SoftFail(static_cast<DWORD>(NTE_BAD_ALGID));
  if (key != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_KEY));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  auto hash = std::make_shared<SoftHash>();
  hash->prov = prov;
  hash->algid = algid;
  hash->ctx.reset(EVP_MD_CTX_new());
  if (!hash->ctx || EVP_DigestInit_ex(hash->ctx.get(), md, nullptr) != 1)
    return SoftFail(static_cast<DWORD>(NTE_NO_MEMORY));
  *result = SoftHashes().Add(std::move(hash));
  return TRUE;
}

BOOL CryptHashDataImpl(HCRYPTHASH handle, const BYTE* data, DWORD size, DWORD flags) {
  std::shared_ptr<SoftHash> hash = SoftHashes().Get(handle);
  if (!hash) return SoftFail(static_cast<DWORD>(NTE_BAD_HASH));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  if (hash->finished) return SoftFail(static_cast<DWORD>(NTE_BAD_HASH_STATE));
  if (size == 0) return TRUE;
  if (data == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (EVP_DigestUpdate(hash->ctx.get(), data, size) != 1) return SoftFail(static_cast<DWORD>(NTE_FAIL));
  // The SM2 digest starts with the signer's identity value, known only
  // when the signing key is chosen.
  if (hash->algid == CALG_SM3) hash->message.insert(hash->message.end(), data, data + size);
  return TRUE;
}

DWORD Finish(SoftHash& hash) {
  if (hash.finished) return ERROR_SUCCESS;
  hash.value.assign(EVP_MAX_MD_SIZE, 0);
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(hash.ctx.get(), hash.value.data(), &size) != 1)
    return static_cast<DWORD>(NTE_FAIL);
  hash.value.resize(size);
  hash.finished = true;
  return ERROR_SUCCESS;
}

BOOL CryptGetHashParamImpl(HCRYPTHASH handle, DWORD param, BYTE* data, DWORD* dataLen,
                           DWORD flags) {
  std::shared_ptr<SoftHash> hash = SoftHashes().Get(handle);
  if (!hash) return SoftFail(static_cast<DWORD>(NTE_BAD_HASH));
  if (flags != 0) return SoftFail(static_cast<DWORD>(NTE_BAD_FLAGS));
  const DWORD size = static_cast<DWORD>(EVP_MD_CTX_get_size(hash->ctx.get()));
  switch (param) {
    case HP_ALGID:
      return SoftCopyOut(&hash->algid, sizeof hash->algid, data, dataLen);
    case HP_HASHSIZE:
      return SoftCopyOut(&size, sizeof size, data, dataLen);
    case HP_HASHVAL:
      if (data == nullptr) return SoftCopyOut(nullptr, size, nullptr, dataLen);
      if (DWORD e = Finish(*hash)) return SoftFail(e);
      return SoftCopyOut(hash->value.data(), size, data, dataLen);
    default:
      return SoftFail(static_cast<DWORD>(NTE_BAD_TYPE));
  }
}

DWORD SignRsa(SoftHash& hash, EVP_PKEY* key, DWORD flags, std::vector<BYTE>* signature) {
  if (DWORD e = Finish(hash)) return e;
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t size = static_cast<size_t>(EVP_PKEY_get_size(key));
  signature->assign(size, 0);
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
    return static_cast<DWORD>(NTE_FAIL);
  // The DigestInfo names the algorithm unless the caller asks for the bare
  // digest.
  if ((flags & CRYPT_NOHASHOID) == 0 &&
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_MD_CTX_get0_md(hash.ctx.get())) <= 0)
    return static_cast<DWORD>(NTE_BAD_ALGID);
  if (EVP_PKEY_sign(ctx.get(), signature->data(), &size, hash.value.data(), hash.value.size()) <= 0)
    return static_cast<DWORD>(NTE_FAIL);
  signature->resize(size);
  SoftReverse(signature->data(), signature->size());
  return ERROR_SUCCESS;
}

DWORD SignSm2(SoftHash& hash, EVP_PKEY* key, std::vector<BYTE>* signature) {
  if (hash.algid != CALG_SM3) return static_cast<DWORD>(NTE_BAD_ALGID);
  EvpMdCtx md(EVP_MD_CTX_new());
  EvpPkeyCtx pctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!md || !pctx ||
      EVP_PKEY_CTX_set1_id(pctx.get(), kSm2SignerId, sizeof kSm2SignerId - 1) <= 0)
    return static_cast<DWORD>(NTE_FAIL);
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  std::vector<BYTE> der(80);
  size_t size = der.size();
  if (EVP_DigestSignInit(md.get(), nullptr, EVP_sm3(), nullptr, key) != 1 ||
      EVP_DigestSign(md.get(), der.data(), &size, hash.message.data(), hash.message.size()) != 1)
    return static_cast<DWORD>(NTE_FAIL);
  if (DWORD e = Finish(hash)) return e;
  const BYTE* p = der.data();
  using Sig = std::unique_ptr<ECDSA_SIG, SoftOsslFree<ECDSA_SIG, ECDSA_SIG_free>>;
  Sig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(size)));
  if (!sig) return static_cast<DWORD>(NTE_FAIL);
  signature->assign(kSm2SignatureSize, 0);
  // r || s, each 32 octets least significant first.
  if (BN_bn2lebinpad(ECDSA_SIG_get0_r(sig.get()), signature->data(), 32) != 32 ||
      BN_bn2lebinpad(ECDSA_SIG_get0_s(sig.get()), signature->data() + 32, 32) != 32)
    return static_cast<DWORD>(NTE_FAIL);
  return ERROR_SUCCESS;
}

BOOL CryptSignHashImpl(HCRYPTHASH handle, DWORD spec, const char16_t*, DWORD flags, BYTE* data,
                       DWORD* dataLen) {
  std::shared_ptr<SoftHash> hash = SoftHashes().Get(handle);
  if (!hash) return SoftFail(static_cast<DWORD>(NTE_BAD_HASH));
  if (dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (spec != AT_KEYEXCHANGE && spec != AT_SIGNATURE) return SoftFail(static_cast<DWORD>(NTE_NO_KEY));
  EvpPkey key;
  ALG_ID algid = 0;
  bool exportable = false;
  if (DWORD e = SoftUseKeyPair(*hash->prov, spec, &key, &algid, &exportable)) return SoftFail(e);
  const SoftKeyKind kind = SoftKindOfAlg(algid);
  const DWORD size = kind == SoftKeyKind::kSm2 ? kSm2SignatureSize
                                               : static_cast<DWORD>(EVP_PKEY_get_size(key.get()));
  if (data == nullptr) return SoftCopyOut(nullptr, size, nullptr, dataLen);
  if (*dataLen < size) {
    *dataLen = size;
    return SoftFail(ERROR_MORE_DATA);
  }
  std::vector<BYTE> signature;
  const DWORD e = kind == SoftKeyKind::kSm2 ? SignSm2(*hash, key.get(), &signature)
                                            : SignRsa(*hash, key.get(), flags, &signature);
  if (e != ERROR_SUCCESS) return SoftFail(e);
  return SoftCopyOut(signature.data(), static_cast<DWORD>(signature.size()), data, dataLen);
}

BOOL CryptDestroyHashImpl(HCRYPTHASH handle) {
  if (!SoftHashes().Remove(handle)) return SoftFail(static_cast<DWORD>(NTE_BAD_HASH));
  return TRUE;
}

}  // namespace

BOOL SoftHashAppend(HCRYPTHASH hash, const BYTE* data, DWORD size) {
  return CryptHashDataImpl(hash, data, size, 0);
}

void SoftFillCryptHash(Platform& t) {
  t.CryptCreateHash = &CryptCreateHashImpl;
  t.CryptHashData = &CryptHashDataImpl;
  t.CryptGetHashParam = &CryptGetHashParamImpl;
  t.CryptSignHashW = &CryptSignHashImpl;
  t.CryptDestroyHash = &CryptDestroyHashImpl;
}
