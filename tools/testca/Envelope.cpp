// `testca envelope`: an encryption key pair made here, its certificate, and
// the envelope text that carries the private key to the control wrapped for
// the control's temporary key.
//
// Envelope text: device type, encrypt type and session key type as 16-digit
// numbers, then two fields, each a 16-digit length and that many
// characters of Base64 ending with a comma. Each field is the DER
// SEQUENCE { INTEGER 1, OCTET STRING wrapped key }.
#include <algorithm>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>

#include "testca/Authority.h"

namespace testca {
namespace {

constexpr int kLeafYears = 5;
constexpr int kSessionType3Des = 306;
constexpr size_t kSm2FormSize = 136;

// Key material wiped when it goes out of scope.
struct Secret {
  Bytes bytes;
  ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

Bytes Tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    Bytes length;
    for (size_t v = n; v != 0; v >>= 8) length.insert(length.begin(), static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// SEQUENCE { INTEGER 1, OCTET STRING wrapped }: one envelope field's DER.
Bytes WrappedField(const Bytes& wrapped) {
  return Tlv(0x30, Concat({Bytes{0x02, 0x01, 0x01}, Tlv(0x04, wrapped)}));
}

std::string Number(long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%016ld", value);
  return text;
}

// The temporary public key: an RSAPublicKey, or the 136-octet SM2 form
// (00 B4 00 00, 256, X in 32 octets most significant first and 32 more
// octets, Y likewise).
Pkey TemporaryPublicKey(Alg alg, const Bytes& key) {
  if (alg == Alg::kRsa) {
    const unsigned char* p = key.data();
    Pkey pkey(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(key.size())));
    return p == key.data() + key.size() ? std::move(pkey) : nullptr;
  }
  const unsigned char header[8] = {0x00, 0xB4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
  if (key.size() != kSm2FormSize || std::memcmp(key.data(), header, 8) != 0) return nullptr;
  unsigned char point[65] = {0x04};
  std::memcpy(point + 1, key.data() + 8, 32);
  std::memcpy(point + 33, key.data() + 72, 32);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("SM2"), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end()};
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params) != 1)
    return nullptr;
  Pkey result(pkey);
  // The point must lie on the curve.
  PkeyCtx check(EVP_PKEY_CTX_new(pkey, nullptr));
  return check && EVP_PKEY_public_check(check.get()) == 1 ? std::move(result) : nullptr;
}

// The subject's Name DER: "/C=CN/O=b/CN=a" in that order, or "CN=a,O=b,C=CN"
// encoded last to first, as the control reads its subject texts.
bool SubjectName(const std::string& text, Bytes* der) {
  std::vector<std::string> entries;
  const bool slashes = !text.empty() && text[0] == '/';
  const char separator = slashes ? '/' : ',';
  size_t start = slashes ? 1 : 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    entries.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (!slashes) std::reverse(entries.begin(), entries.end());
  X509_NAME* name = X509_NAME_new();
  bool ok = name != nullptr;
  for (const std::string& entry : entries) {
    const size_t equals = entry.find('=');
    const auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(' '));
      s.erase(s.find_last_not_of(' ') + 1);
      return s;
    };
    if (equals == std::string::npos) {
      ok = false;
      break;
    }
    const std::string field = trim(entry.substr(0, equals)), value = trim(entry.substr(equals + 1));
    ok = ok && !value.empty() &&
         X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1;
  }
  if (ok) *der = NameDer(name);
  X509_NAME_free(name);
  return ok && !der->empty();
}

bool PkeyEncrypt(EVP_PKEY* key, const Bytes& plain, bool pkcs1, Bytes* out) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t size = 0;
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      (pkcs1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &size, plain.data(), plain.size()) != 1)
    return false;
  out->assign(size, 0);
  if (EVP_PKEY_encrypt(ctx.get(), out->data(), &size, plain.data(), plain.size()) != 1) return false;
  out->resize(size);
  return true;
}

bool Encipher(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& plain, bool pad, Bytes* out) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  out->assign(plain.size() + 16, 0);
  int n = 0, tail = 0;
  const bool ok = ctx != nullptr && EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0) == 1 &&
                  EVP_EncryptUpdate(ctx, out->data(), &n, plain.data(),
                                    static_cast<int>(plain.size())) == 1 &&
                  EVP_EncryptFinal_ex(ctx, out->data() + n, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  out->resize(ok ? static_cast<size_t>(n + tail) : 0);
  return ok;
}

bool RandomKey(size_t size, Secret* key) {
  key->bytes.assign(size, 0);
  return RAND_bytes(key->bytes.data(), static_cast<int>(size)) == 1;
}

// RSA: 3DES session key for the temporary key, RSAPrivateKey in 3DES-ECB.
bool WrapRsa(EVP_PKEY* temporary, EVP_PKEY* key, Bytes* sessionField, Bytes* keyField) {
  Secret session, plain;
  if (!RandomKey(24, &session)) return false;
  for (unsigned char& octet : session.bytes)  // DES keys carry odd parity
    octet = static_cast<unsigned char>((octet & 0xFE) | !(__builtin_popcount(octet & 0xFE) & 1));
  const int size = i2d_PrivateKey(key, nullptr);  // RSAPrivateKey
  if (size <= 0) return false;
  plain.bytes.assign(static_cast<size_t>(size), 0);
  unsigned char* p = plain.bytes.data();
  Bytes wrappedSession, wrappedKey;
  if (i2d_PrivateKey(key, &p) != size || !PkeyEncrypt(temporary, session.bytes, true, &wrappedSession) ||
      !Encipher(EVP_des_ede3_ecb(), session.bytes, plain.bytes, true, &wrappedKey))
    return false;
  *sessionField = WrappedField(wrappedSession);
  *keyField = WrappedField(wrappedKey);
  return true;
}

// SM2EnvelopedKey: SEQUENCE { SEQUENCE { OID SM4-ECB 1.2.156.10197.1.104.1 },
// SM2Cipher of the SM4 key, BIT STRING 04||X||Y, BIT STRING SM4-ECB(d) }.
bool WrapSm2(EVP_PKEY* temporary, EVP_PKEY* key, bool sessionToo, Bytes* sessionField, Bytes* keyField) {
  Secret sm4, scalar;
  BIGNUM* d = nullptr;
  unsigned char point[65];
  size_t pointSize = 0;
  if (!RandomKey(16, &sm4) || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1 ||
      EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointSize) != 1 ||
      pointSize != sizeof point) {
    BN_clear_free(d);
    return false;
  }
  scalar.bytes.assign(32, 0);
  const bool scalarOk = BN_bn2binpad(d, scalar.bytes.data(), 32) == 32;
  BN_clear_free(d);
  Bytes cipher, wrappedScalar;
  if (!scalarOk || !PkeyEncrypt(temporary, sm4.bytes, false, &cipher) ||
      !Encipher(EVP_sm4_ecb(), sm4.bytes, scalar.bytes, false, &wrappedScalar))
    return false;
  const Bytes sm4Ecb = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x68, 0x01};
  Bytes publicBits{0x00}, keyBits{0x00};
  publicBits.insert(publicBits.end(), point, point + sizeof point);
  keyBits.insert(keyBits.end(), wrappedScalar.begin(), wrappedScalar.end());
  const Bytes enveloped =
      Tlv(0x30, Concat({Tlv(0x30, sm4Ecb), cipher, Tlv(0x03, publicBits), Tlv(0x03, keyBits)}));
  *keyField = WrappedField(enveloped);
  if (sessionToo) *sessionField = WrappedField(cipher);
  return true;
}

Pkey RsaKey(int bits, unsigned long exponent) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  BIGNUM* e = BN_new();
  EVP_PKEY* key = nullptr;
  if (ctx && e && BN_set_word(e, exponent) == 1 && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) == 1 &&
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e) == 1)
    EVP_PKEY_generate(ctx.get(), &key);
  BN_free(e);
  return Pkey(key);
}

std::string Field(const Bytes& der, size_t commas) {
  const std::string text = der.empty() ? std::string() : Base64Field(der, commas, true);
  return Number(static_cast<long>(text.size())) + text;
}

}  // namespace

std::string Base64Field(const Bytes& data, size_t every, bool finalComma) {
  std::string plain(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(plain.data()), data.data(),
                                static_cast<int>(data.size()));
  plain.resize(static_cast<size_t>(n));
  std::string text;
  for (size_t i = 0; i < plain.size(); ++i) {
    if (every != 0 && i != 0 && i % every == 0) text.push_back(',');
    text.push_back(plain[i]);
  }
  if (finalComma) text.push_back(',');
  return text;
}

bool MakeEnvelope(const std::string& dir, const EnvelopeRequest& request, EnvelopeResult* result,
                  std::string* error) {
  const bool sm2 = request.alg == Alg::kSm2;
  Pkey temporary = TemporaryPublicKey(request.alg, request.temporaryKey);
  if (!temporary) {
    *error = sm2 ? "the temporary key is not a 136-octet SM2 temporary public key on the curve"
                 : "the temporary key is not a DER RSAPublicKey";
    return false;
  }
  if (sm2 ? request.bits != 256
          : (request.bits < 512 || request.bits > 8192 || request.bits % 8 != 0 ||
             request.exponent < 3 || request.exponent % 2 == 0)) {
    *error = sm2 ? "SM2 keys have 256 bits"
                 : "RSA keys need a length that is a multiple of 8 from 512 to 8192 and an odd "
                   "exponent of 3 or more";
    return false;
  }
  if (sm2 && request.sm2SessionType != 0 && request.sm2SessionType != kSessionType3Des) {
    *error = "the SM2 session key type is 0 or 306";
    return false;
  }
  Bytes subject = request.subjectDer;
  if ((!request.subject.empty() || subject.empty()) && !SubjectName(request.subject, &subject)) {
    *error = "cannot read the subject \"" + request.subject + "\"";
    return false;
  }
  Authority issuer;
  if (!LoadIssuer(dir, request.alg, &issuer, error)) return false;
  result->key = sm2 ? Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"))
                    : RsaKey(request.bits, request.exponent);
  if (!result->key) {
    *error = "cannot generate the encryption key";
    return false;
  }
  X509Ptr cert = MakeCertificate(subject, result->key.get(), Usage::kEncryption, kLeafYears,
                                 request.alg, &issuer, nullptr, error);
  if (!cert) return false;
  result->certificateDer = CertificateDer(cert.get());
  result->certificate = Base64Field(result->certificateDer, request.commas, false);

  Bytes sessionField, keyField;
  const bool wrapped = sm2 ? WrapSm2(temporary.get(), result->key.get(),
                                     request.sm2SessionType == kSessionType3Des, &sessionField, &keyField)
                           : WrapRsa(temporary.get(), result->key.get(), &sessionField, &keyField);
  if (!wrapped) {
    *error = "cannot wrap the private key for the temporary key";
    return false;
  }
  result->envelope = Number(request.deviceType) + Number(request.encryptType) +
                     Number(sm2 ? request.sm2SessionType : kSessionType3Des) +
                     Field(sessionField, request.commas) + Field(keyField, request.commas);
  return true;
}

}  // namespace testca
