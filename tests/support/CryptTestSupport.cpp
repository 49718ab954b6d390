#include "support/CryptTestSupport.h"

#include <openssl/ecdsa.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <algorithm>

#include "encoding/Unicode.h"

namespace {

using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Bld = std::unique_ptr<OSSL_PARAM_BLD, OpenSslFree<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, OpenSslFree<OSSL_PARAM, OSSL_PARAM_free>>;

}  // namespace

Pkey RsaFromPublicBlob(const Bytes& blob) {
  // OpenSSL's own reader of the PUBLICKEYBLOB form; 20 octets of headers
  // and the modulus, nothing more.
  const unsigned char* p = blob.data();
  Pkey key(blob.empty() ? nullptr : b2i_PublicKey(&p, static_cast<long>(blob.size())));
  return key && blob.size() == 20 + static_cast<size_t>(EVP_PKEY_get_bits(key.get())) / 8 ? std::move(key) : nullptr;
}

Pkey Sm2FromPublicBlob(const Bytes& blob) {
  // Header (8), 4 octets, X field (64, X least significant first in the
  // first 32), Y field likewise.
  if (blob.size() != 140 || blob[0] != PUBLICKEYBLOB) return nullptr;
  Bytes point{0x04};
  const Bytes x = Reversed(Bytes(&blob[12], &blob[44]));
  const Bytes y = Reversed(Bytes(&blob[76], &blob[108]));
  point.insert(point.end(), x.begin(), x.end());
  point.insert(point.end(), y.begin(), y.end());
  Bld bld(OSSL_PARAM_BLD_new());
  OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
  OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
  Params params(OSSL_PARAM_BLD_to_param(bld.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
    return nullptr;
  return Pkey(key);
}

bool VerifyRsa(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature) {
  return EvpVerifies(key, md, data, Reversed(signature));
}

bool VerifySm2(EVP_PKEY* key, const Bytes& data, const Bytes& signature, const char* id) {
  if (signature.size() != 64) return false;
  // r || s with each half least significant first, made a DER ECDSA-Sig-Value.
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_lebin2bn(signature.data(), 32, nullptr),
                 BN_lebin2bn(signature.data() + 32, 32, nullptr));
  const Bytes der = I2d<ECDSA_SIG>(sig, i2d_ECDSA_SIG);
  ECDSA_SIG_free(sig);
  return EvpVerifies(key, EVP_sm3(), data, der, id);
}

Bytes Encipher(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& plain, bool pad) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(plain.size() + 32);
  int n = 0, tail = 0;
  EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
  EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

Bytes PkeyEncrypt(EVP_PKEY* key, const Bytes& plain, int padding) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t size = 0;
  EVP_PKEY_encrypt_init(ctx.get());
  if (padding) EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding);
  EVP_PKEY_encrypt(ctx.get(), nullptr, &size, plain.data(), plain.size());
  Bytes out(size);
  EVP_PKEY_encrypt(ctx.get(), out.data(), &size, plain.data(), plain.size());
  out.resize(size);
  return out;
}
