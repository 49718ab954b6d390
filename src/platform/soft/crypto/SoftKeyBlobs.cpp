// The platform's key blobs for RSA and SM2 keys: PUBLICKEYBLOB and
// PRIVATEKEYBLOB ("RSA1"/"RSA2", little-endian numbers) and the SM2 token's
// 140-octet public key blob.
#include "platform/soft/crypto/SoftKeyBlobs.h"


#include <cstring>

namespace {


constexpr size_t kHeader = 8 + 12;  // BLOBHEADER + RSAPUBKEY

// The RSA parameters in the order of a PRIVATEKEYBLOB after the modulus.
struct RsaField {
  const char* name;
  bool half;  // ceil(n/16) octets, else ceil(n/8)
};
constexpr RsaField kPrivateFields[] = {
    {OSSL_PKEY_PARAM_RSA_FACTOR1, true},     {OSSL_PKEY_PARAM_RSA_FACTOR2, true},
    {OSSL_PKEY_PARAM_RSA_EXPONENT1, true},   {OSSL_PKEY_PARAM_RSA_EXPONENT2, true},
    {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, true}, {OSSL_PKEY_PARAM_RSA_D, false},
};

void WriteHeader(BYTE* p, BYTE type, ALG_ID algid) {
  p[0] = type;
  p[1] = CUR_BLOB_VERSION;
  p[2] = p[3] = 0;
  StoreLe32(p + 4, algid);
}

bool PutLe(EVP_PKEY* key, const char* name, BYTE* out, size_t size) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
  Bignum value(raw);
  return BN_bn2lebinpad(value.get(), out, static_cast<int>(size)) == static_cast<int>(size);
}

}  // namespace

DWORD SoftRsaBits(EVP_PKEY* key) { return static_cast<DWORD>(EVP_PKEY_get_bits(key)); }

DWORD SoftExportRsaBlob(EVP_PKEY* key, ALG_ID algid, bool withPrivate, SecretBytes* blob) {
  const DWORD bits = SoftRsaBits(key);
  const size_t full = (bits + 7) / 8, half = (bits + 15) / 16;
  blob->assign(kHeader + full + (withPrivate ? 5 * half + full : 0), 0);
  BYTE* p = blob->data();
  WriteHeader(p, withPrivate ? PRIVATEKEYBLOB : PUBLICKEYBLOB, algid);
  StoreLe32(p + 8, withPrivate ? RSA2_MAGIC : RSA1_MAGIC);
  StoreLe32(p + 12, bits);
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &raw) != 1)
    return static_cast<DWORD>(NTE_BAD_KEY);
  Bignum e(raw);
  if (BN_num_bytes(e.get()) > 4) return static_cast<DWORD>(NTE_BAD_KEY);
  StoreLe32(p + 16, static_cast<DWORD>(BN_get_word(e.get())));
  p += kHeader;
  if (!PutLe(key, OSSL_PKEY_PARAM_RSA_N, p, full)) return static_cast<DWORD>(NTE_BAD_KEY);
  p += full;
  if (!withPrivate) return ERROR_SUCCESS;
  for (const RsaField& f : kPrivateFields) {
    const size_t size = f.half ? half : full;
    if (!PutLe(key, f.name, p, size)) return static_cast<DWORD>(NTE_BAD_KEY);
    p += size;
  }
  return ERROR_SUCCESS;
}

DWORD SoftImportRsaBlob(const BYTE* blob, DWORD size, EvpPkey* key, bool* isPrivate) {
  if (size < kHeader) return static_cast<DWORD>(NTE_BAD_DATA);
  const DWORD magic = LoadLe32(blob + 8), bits = LoadLe32(blob + 12);
  *isPrivate = magic == RSA2_MAGIC;
  if ((magic != RSA1_MAGIC && magic != RSA2_MAGIC) || bits < 384 || bits > 16384 || bits % 8)
    return static_cast<DWORD>(NTE_BAD_DATA);
  // The sizes the export writes: a key whose halves are an odd number of
  // octets long (1032, 2040 bits) loads back whole.
  const size_t full = (bits + 7) / 8, half = (bits + 15) / 16;
  const size_t needed = kHeader + full + (*isPrivate ? 5 * half + full : 0);
  if (size < needed) return static_cast<DWORD>(NTE_BAD_DATA);

  ParamBld bld(OSSL_PARAM_BLD_new());
  std::vector<Bignum> values;
  auto push = [&](const char* name, const BYTE* le, size_t n) {
    // Secure numbers make the parameter builder keep them in cleared memory.
    values.emplace_back(BN_secure_new());
    return values.back() && BN_lebin2bn(le, static_cast<int>(n), values.back().get()) &&
           OSSL_PARAM_BLD_push_BN(bld.get(), name, values.back().get()) == 1;
  };
  const BYTE e[4] = {blob[16], blob[17], blob[18], blob[19]};
  const BYTE* p = blob + kHeader;
  bool ok = bld && push(OSSL_PKEY_PARAM_RSA_N, p, full) && push(OSSL_PKEY_PARAM_RSA_E, e, 4);
  p += full;
  if (ok && *isPrivate) {
    for (const RsaField& f : kPrivateFields) {
      const size_t n = f.half ? half : full;
      ok = ok && push(f.name, p, n);
      p += n;
    }
  }
  if (!ok) return static_cast<DWORD>(NTE_NO_MEMORY);
  Params params(OSSL_PARAM_BLD_to_param(bld.get()));
  EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* out = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &out, *isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params.get()) <= 0)
    return static_cast<DWORD>(NTE_BAD_DATA);
  key->reset(out);
  return ERROR_SUCCESS;
}

DWORD SoftExportSm2PublicBlob(EVP_PKEY* key, ALG_ID algid, SecretBytes* blob) {
  std::vector<BYTE> point;
  if (DWORD e = SoftSm2PublicPoint(key, &point)) return e;
  blob->assign(kSm2PublicBlobSize, 0);
  BYTE* p = blob->data();
  WriteHeader(p, PUBLICKEYBLOB, algid);
  StoreLe32(p + 8, 256);
  // X and Y fields of 64 octets, each coordinate least significant first.
  for (int i = 0; i < 32; ++i) {
    p[12 + i] = point[32 - i];
    p[12 + 64 + i] = point[64 - i];
  }
  return ERROR_SUCCESS;
}
