#include "CryptTestSupport.h"

#include <openssl/ecdsa.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "encoding/Unicode.h"

namespace {

template <typename T, void (*F)(T*)>
struct Free {
  void operator()(T* p) const { F(p); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Bld = std::unique_ptr<OSSL_PARAM_BLD, Free<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Free<OSSL_PARAM, OSSL_PARAM_free>>;
using Bn = std::unique_ptr<BIGNUM, Free<BIGNUM, BN_free>>;

DWORD Le32(const BYTE* p) {
  return DWORD{p[0]} | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
}

Pkey FromData(const char* type, OSSL_PARAM_BLD* bld) {
  Params params(OSSL_PARAM_BLD_to_param(bld));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0)
    return nullptr;
  return Pkey(key);
}

template <typename T>
Bytes Encode(T* object, int (*i2d)(const T*, unsigned char**)) {
  const int size = i2d(object, nullptr);
  Bytes out(size > 0 ? static_cast<size_t>(size) : 0);
  unsigned char* p = out.data();
  if (size > 0) i2d(object, &p);
  return out;
}

}  // namespace

Bytes ExportKey(HCRYPTKEY key, DWORD blobType, HCRYPTKEY wrapKey) {
  DWORD size = 0;
  if (!Plat().CryptExportKey(key, wrapKey, blobType, 0, nullptr, &size)) return {};
  Bytes blob(size);
  if (!Plat().CryptExportKey(key, wrapKey, blobType, 0, blob.data(), &size)) return {};
  blob.resize(size);
  return blob;
}

DWORD KeyParam(HCRYPTKEY key, DWORD param) {
  DWORD value = 0, size = sizeof value;
  if (!Plat().CryptGetKeyParam(key, param, reinterpret_cast<BYTE*>(&value), &size, 0)) return ~0u;
  return value;
}

Bytes SignData(HCRYPTPROV prov, ALG_ID algid, const Bytes& data, DWORD spec) {
  HCRYPTHASH hash = 0;
  if (!Plat().CryptCreateHash(prov, algid, 0, 0, &hash)) return {};
  Bytes signature;
  DWORD size = 0;
  if (Plat().CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
      Plat().CryptSignHashW(hash, spec, nullptr, 0, nullptr, &size)) {
    signature.resize(size);
    if (!Plat().CryptSignHashW(hash, spec, nullptr, 0, signature.data(), &size)) signature.clear();
    else signature.resize(size);
  }
  Plat().CryptDestroyHash(hash);
  return signature;
}

std::u16string UniqueContainer(const char* tag) {
  static std::atomic<int> counter{0};
  return Utf8ToUtf16(std::string("keyloom-test-") + tag + "-" + std::to_string(getpid()) + "-" +
                     std::to_string(counter++));
}

Pkey RsaFromPublicBlob(const Bytes& blob) {
  // BLOBHEADER (8), RSAPUBKEY magic/bitlen/pubexp (12), modulus little-endian.
  if (blob.size() < 20 || blob[0] != PUBLICKEYBLOB) return nullptr;
  const DWORD bits = Le32(&blob[12]), exponent = Le32(&blob[16]);
  if (Le32(&blob[8]) != 0x31415352 || blob.size() != 20 + bits / 8) return nullptr;
  Bn n(BN_lebin2bn(&blob[20], static_cast<int>(bits / 8), nullptr));
  Bn e(BN_new());
  BN_set_word(e.get(), exponent);
  Bld bld(OSSL_PARAM_BLD_new());
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
  return FromData("RSA", bld.get());
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
  return FromData("SM2", bld.get());
}

bool VerifyRsa(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& signature) {
  const Bytes bigEndian = Reversed(signature);
  MdCtx ctx(EVP_MD_CTX_new());
  return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), bigEndian.data(), bigEndian.size(), data.data(), data.size()) == 1;
}

bool VerifySm2(EVP_PKEY* key, const Bytes& data, const Bytes& signature, const char* id) {
  if (signature.size() != 64) return false;
  // r || s with each half least significant first, made a DER ECDSA-Sig-Value.
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_lebin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_lebin2bn(signature.data() + 32, 32, nullptr);
  ECDSA_SIG_set0(sig, r, s);
  const Bytes der = Encode<ECDSA_SIG>(sig, i2d_ECDSA_SIG);
  ECDSA_SIG_free(sig);
  MdCtx md(EVP_MD_CTX_new());
  PkeyCtx pctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_CTX_set1_id(pctx.get(), id, strlen(id));
  EVP_MD_CTX_set_pkey_ctx(md.get(), pctx.get());
  return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key) == 1 &&
         EVP_DigestVerify(md.get(), der.data(), der.size(), data.data(), data.size()) == 1;
}

Bytes PublicOf(EVP_PKEY* key) {
  const int size = i2d_PublicKey(key, nullptr);
  Bytes out(size > 0 ? static_cast<size_t>(size) : 0);
  unsigned char* p = out.data();
  if (size > 0) i2d_PublicKey(key, &p);
  return out;
}

Bytes Reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

Bytes Random(size_t size) {
  Bytes out(size);
  RAND_bytes(out.data(), static_cast<int>(size));
  return out;
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

Bytes MakeCertificate(EVP_PKEY* subjectKey) {
  EVP_PKEY* issuer = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{1024});
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  auto* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Keyloom test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_set_pubkey(cert, subjectKey);
  X509_sign(cert, issuer, EVP_sha256());
  const Bytes der = Encode<X509>(cert, i2d_X509);
  X509_free(cert);
  EVP_PKEY_free(issuer);
  return der;
}

Bytes DerSequence(const std::vector<Bytes>& elements) {
  // Each element goes in as an already-encoded ASN1_TYPE (V_ASN1_SEQUENCE
  // carries its DER unchanged), and OpenSSL writes the SEQUENCE around them.
  STACK_OF(ASN1_TYPE)* seq = sk_ASN1_TYPE_new_null();
  for (const Bytes& element : elements) {
    const unsigned char* p = element.data();
    ASN1_TYPE* t = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(element.size()));
    sk_ASN1_TYPE_push(seq, t);
  }
  unsigned char* out = nullptr;
  const int size = i2d_ASN1_SEQUENCE_ANY(seq, &out);
  Bytes der(out, out + (size > 0 ? size : 0));
  OPENSSL_free(out);
  sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
  return der;
}

Bytes DerInteger(long value) {
  ASN1_INTEGER* i = ASN1_INTEGER_new();
  ASN1_INTEGER_set(i, value);
  const Bytes der = Encode<ASN1_INTEGER>(i, i2d_ASN1_INTEGER);
  ASN1_INTEGER_free(i);
  return der;
}

Bytes DerOid(const char* dotted) {
  ASN1_OBJECT* o = OBJ_txt2obj(dotted, 1);
  const Bytes der = Encode<ASN1_OBJECT>(o, i2d_ASN1_OBJECT);
  ASN1_OBJECT_free(o);
  return der;
}

Bytes DerOctets(const Bytes& content) {
  ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(s, content.data(), static_cast<int>(content.size()));
  const Bytes der = Encode<ASN1_OCTET_STRING>(s, i2d_ASN1_OCTET_STRING);
  ASN1_OCTET_STRING_free(s);
  return der;
}

Bytes DerBits(const Bytes& content) {
  ASN1_BIT_STRING* s = ASN1_BIT_STRING_new();
  ASN1_BIT_STRING_set(s, const_cast<unsigned char*>(content.data()), static_cast<int>(content.size()));
  // Whole octets: no unused bits, none trimmed.
  s->flags &= ~0x07L;
  s->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  const Bytes der = Encode<ASN1_BIT_STRING>(s, i2d_ASN1_BIT_STRING);
  ASN1_BIT_STRING_free(s);
  return der;
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
