// Key pairs as OpenSSL objects and as stored material, and the raw
// operations the providers build on.
#include <openssl/x509.h>

#include <cstring>

#include "platform/soft/crypto/SoftCrypto.h"
#include "platform/soft/crypto/SoftKeyBlobs.h"

namespace {

constexpr size_t kSm2Scalar = 32;
constexpr size_t kSm2Point = 65;


DWORD Sm2FromParts(const BYTE* scalar, const BYTE* point, EvpPkey* key) {
  // A secure number makes the parameter builder keep it in cleared memory.
  Bignum priv(BN_secure_new());
  ParamBld bld(OSSL_PARAM_BLD_new());
  if (priv && !BN_bin2bn(scalar, kSm2Scalar, priv.get())) priv.reset();
  if (!priv || !bld) return static_cast<DWORD>(NTE_NO_MEMORY);
  OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get());
  OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point, kSm2Point);
  Params params(OSSL_PARAM_BLD_to_param(bld.get()));
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* out = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &out, EVP_PKEY_KEYPAIR, params.get()) <= 0)
    return static_cast<DWORD>(NTE_BAD_KEY);
  key->reset(out);
  return ERROR_SUCCESS;
}

}  // namespace

SoftKeyKind SoftKindOfAlg(ALG_ID algid) {
  if (algid == KL_CALG_SM2_KEYX || algid == KL_CALG_SM2_SIGN) return SoftKeyKind::kSm2;
  if (algid == CALG_RSA_KEYX || algid == CALG_RSA_SIGN) return SoftKeyKind::kRsa;
  return SoftKeyKind::kSession;
}

DWORD SoftGenerateRsa(DWORD bits, EvpPkey* key) {
  EVP_PKEY* out = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
  if (out == nullptr) return static_cast<DWORD>(NTE_FAIL);
  key->reset(out);
  return ERROR_SUCCESS;
}

DWORD SoftGenerateSm2(EvpPkey* key) {
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* out = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_generate(ctx.get(), &out) <= 0)
    return static_cast<DWORD>(NTE_FAIL);
  key->reset(out);
  return ERROR_SUCCESS;
}

DWORD SoftSm2PublicPoint(EVP_PKEY* key, std::vector<BYTE>* point) {
  point->assign(kSm2Point, 0);
  size_t size = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point->data(), point->size(),
                                      &size) != 1 ||
      size != kSm2Point || (*point)[0] != 0x04)
    return static_cast<DWORD>(NTE_BAD_KEY);
  return ERROR_SUCCESS;
}

DWORD SoftKeyMaterial(SoftKeyKind kind, EVP_PKEY* key, SecretBytes* material) {
  if (kind == SoftKeyKind::kRsa) return SoftExportRsaBlob(key, CALG_RSA_KEYX, true, material);
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1)
    return static_cast<DWORD>(NTE_BAD_KEY);
  Bignum priv(raw);
  std::vector<BYTE> point;
  if (DWORD e = SoftSm2PublicPoint(key, &point)) return e;
  material->assign(kSm2Scalar + kSm2Point, 0);
  if (BN_bn2binpad(priv.get(), material->data(), kSm2Scalar) != static_cast<int>(kSm2Scalar))
    return static_cast<DWORD>(NTE_BAD_KEY);
  std::memcpy(material->data() + kSm2Scalar, point.data(), kSm2Point);
  return ERROR_SUCCESS;
}

DWORD SoftKeyFromMaterial(SoftKeyKind kind, const SecretBytes& material, EvpPkey* key) {
  if (kind == SoftKeyKind::kRsa) {
    bool isPrivate = false;
    const DWORD e = SoftImportRsaBlob(material.data(), static_cast<DWORD>(material.size()), key, &isPrivate);
    return (e != ERROR_SUCCESS || !isPrivate) ? static_cast<DWORD>(NTE_BAD_KEYSET_PARAM) : ERROR_SUCCESS;
  }
  if (material.size() != kSm2Scalar + kSm2Point) return static_cast<DWORD>(NTE_BAD_KEYSET_PARAM);
  return Sm2FromParts(material.data(), material.data() + kSm2Scalar, key);
}

DWORD SoftSm2FromPrivate(const BYTE* scalar, EvpPkey* key) {
  EcGroup group(EC_GROUP_new_by_curve_name(NID_sm2));
  Bignum priv(BN_bin2bn(scalar, kSm2Scalar, nullptr));
  if (!group || !priv) return static_cast<DWORD>(NTE_NO_MEMORY);
  if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group.get())) >= 0)
    return static_cast<DWORD>(NTE_BAD_DATA);
  EcPoint pub(EC_POINT_new(group.get()));
  BYTE point[kSm2Point];
  if (!pub || EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED, point,
                         sizeof point, nullptr) != sizeof point)
    return static_cast<DWORD>(NTE_BAD_DATA);
  return Sm2FromParts(scalar, point, key);
}

DWORD SoftRsaRawPrivate(EVP_PKEY* key, const BYTE* in, size_t size, SecretBytes* out) {
  const size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(key));
  if (size != modulus) return static_cast<DWORD>(NTE_BAD_LEN);
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  out->assign(modulus, 0);
  size_t outSize = modulus;
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0 ||
      EVP_PKEY_decrypt(ctx.get(), out->data(), &outSize, in, size) <= 0)
    return static_cast<DWORD>(NTE_BAD_DATA);
  // The raw result keeps the modulus length; put back leading zeros.
  if (outSize < modulus) {
    std::memmove(out->data() + (modulus - outSize), out->data(), outSize);
    std::memset(out->data(), 0, modulus - outSize);
  }
  return ERROR_SUCCESS;
}

DWORD SoftRsaDecryptPkcs1(EVP_PKEY* key, const BYTE* in, size_t size, SecretBytes* out) {
  SecretBytes block;
  if (DWORD e = SoftRsaRawPrivate(key, in, size, &block)) return e;
  // 00 02, at least eight non-zero padding octets, 00, the message.
  if (block.size() < 11 || block[0] != 0x00 || block[1] != 0x02)
    return static_cast<DWORD>(NTE_BAD_DATA);
  size_t zero = 2;
  while (zero < block.size() && block[zero] != 0) ++zero;
  if (zero == block.size() || zero < 10) return static_cast<DWORD>(NTE_BAD_DATA);
  out->assign(block.begin() + static_cast<long>(zero + 1), block.end());
  return ERROR_SUCCESS;
}

DWORD SoftSessionKeySize(ALG_ID alg) {
  switch (alg) {
    case CALG_DES: return 8;
    case CALG_3DES_112: return 16;
    case CALG_3DES: return 24;
    case CALG_AES_128: return 16;
    case CALG_AES_192: return 24;
    case CALG_AES_256: return 32;
    default: return 0;
  }
}

const EVP_CIPHER* SoftCipherOf(ALG_ID alg, DWORD mode) {
  const bool ecb = mode == CRYPT_MODE_ECB;
  switch (alg) {
    case CALG_DES: return ecb ? EVP_des_ecb() : EVP_des_cbc();
    case CALG_3DES_112: return ecb ? EVP_des_ede_ecb() : EVP_des_ede_cbc();
    case CALG_3DES: return ecb ? EVP_des_ede3_ecb() : EVP_des_ede3_cbc();
    case CALG_AES_128: return ecb ? EVP_aes_128_ecb() : EVP_aes_128_cbc();
    case CALG_AES_192: return ecb ? EVP_aes_192_ecb() : EVP_aes_192_cbc();
    case CALG_AES_256: return ecb ? EVP_aes_256_ecb() : EVP_aes_256_cbc();
    default: return nullptr;
  }
}

DWORD SoftStripPkcs5(const BYTE* data, DWORD* size, DWORD blockSize) {
  if (*size == 0 || *size % blockSize != 0) return static_cast<DWORD>(NTE_BAD_DATA);
  const BYTE pad = data[*size - 1];
  if (pad == 0 || pad > blockSize) return static_cast<DWORD>(NTE_BAD_DATA);
  for (DWORD i = 1; i <= pad; ++i)
    if (data[*size - i] != pad) return static_cast<DWORD>(NTE_BAD_DATA);
  *size -= pad;
  return ERROR_SUCCESS;
}

void SoftReverse(BYTE* data, size_t size) {
  for (size_t i = 0, j = size; i + 1 < j; ++i, --j) std::swap(data[i], data[j - 1]);
}

BOOL SoftCopyOut(const void* source, DWORD size, BYTE* data, DWORD* dataLen) {
  if (dataLen == nullptr) return SoftFail(ERROR_INVALID_PARAMETER);
  if (data == nullptr) {
    *dataLen = size;
    return TRUE;
  }
  if (*dataLen < size) {
    *dataLen = size;
    return SoftFail(ERROR_MORE_DATA);
  }
  if (size) std::memcpy(data, source, size);
  *dataLen = size;
  return TRUE;
}
